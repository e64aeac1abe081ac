#include <filesystem>
#include <fstream>

#include "tests/image/fake_converter.h"

namespace quorvel::testing {

void writeFakeConverter() {
  {
    std::ofstream script("hex55", std::ios::binary | std::ios::trunc);
    // The pause shows that the caller waits for the converter to end.
    script << "#!/bin/sh\nsleep 0.3\necho \"$@\" > args.txt\n"
              "printf L > LSB.tmp\nprintf M > MSB.tmp\n";
  }
  std::filesystem::permissions("hex55", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add);
}

}  // namespace quorvel::testing
