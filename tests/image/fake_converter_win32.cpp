#include <fstream>

#include "tests/image/fake_converter.h"

namespace quorvel::testing {

void writeFakeConverter() {
  // The command processor finds "hex55" as hex55.bat when there is no hex55.exe. The ping
  // is the batch language's pause and shows that the caller waits for the converter.
  std::ofstream script("hex55.bat", std::ios::binary | std::ios::trunc);
  script << "@echo off\r\nping -n 2 127.0.0.1 > nul\r\necho %*> args.txt\r\n"
            "echo L> LSB.tmp\r\necho M> MSB.tmp\r\n";
}

}  // namespace quorvel::testing
