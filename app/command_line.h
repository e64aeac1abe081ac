#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace quorvel {

// A command line read with CLI11 the way our programs read theirs: each option acts as it is
// met, so that the first fault in the order given is the one reported and a stop option
// (--help, --version) ends the reading where it stands; "--name value" and "--name=value"
// alike, and a value may begin with '-'. Help texts and messages stay the program's own.
class CommandLine {
 public:
  struct Fault {
    enum class Kind { UnknownArgument, MissingValue, BadValue };
    Kind kind;
    std::string argument;  // as given; for MissingValue and BadValue the option's name
    std::string value;     // BadValue: the value refused
  };
  // All read (stop 0, no fault), the code of the stop option met, or the first fault.
  struct Outcome {
    int stop = 0;
    std::optional<Fault> fault;
  };

  CommandLine();
  ~CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  // `names` as CLI11 takes them: "-h,--help". `code` is not 0.
  void addStop(const std::string& names, int code);
  void addFlag(const std::string& names, std::function<void()> set);
  // `set` returns false for a value it refuses.
  void addValue(const std::string& name, std::function<bool(const std::string&)> set);

  // Reads the arguments after the program name.
  Outcome read(const std::vector<std::string>& args);

 private:
  Outcome parse(const std::vector<std::string>& args);
  std::size_t firstForeignForm(const std::vector<std::string>& args) const;
  void checkNothingUnknownBefore() const;
  std::vector<std::string> splitEmptyValues(const std::vector<std::string>& args) const;

  std::unique_ptr<CLI::App> app_;
  std::vector<std::string> valueNames_;
  std::vector<std::string> flagNames_;  // the long ones
  std::vector<std::string> shortNames_;
};

}  // namespace quorvel
