#include <span>

#include "tools/hex55/converter.h"

int main(int argc, char** argv) {
  const std::span<const char* const> args(argv, static_cast<std::size_t>(argc));
  return quorvel::hex55::runHex55(args.subspan(argc > 0 ? 1 : 0));
}
