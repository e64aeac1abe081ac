#include <exception>
#include <string>
#include <vector>

#include "app/cli/cli_front_end.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return quorvel::cli::runCli(args);
  } catch (const std::exception&) {
    // Unwinding has run the downloader's destructor: the temporary files are gone.
    return quorvel::cli::kExitInternal;
  }
}
