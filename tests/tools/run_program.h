#pragma once

#include <string>
#include <vector>

namespace quorvel::test {

// Exit status of a program that could not be started.
inline constexpr int kNotStarted = -1;

// Runs `program` with `args` (no shell involved), its standard output and error going to
// `outputFile`, and waits for it. Returns its exit status.
int runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& outputFile);

}  // namespace quorvel::test
