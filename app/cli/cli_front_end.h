#pragma once

#include <string>
#include <vector>

namespace quorvel::cli {

// Runs quorvel-upgrade with the arguments after the program name; returns the exit status.
int runCli(const std::vector<std::string>& args);

// The program's entry point: runCli, and one line on standard error for an internal error.
int cliMain(int argc, char** argv);

// "y" or "yes" in any case, blanks around it allowed.
bool isYesAnswer(const std::string& answer);

}  // namespace quorvel::cli
