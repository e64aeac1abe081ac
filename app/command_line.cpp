#include "app/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>

namespace quorvel {
namespace {

// Thrown from an option's callback to end the reading.
struct Ended {
  CommandLine::Outcome outcome;
};

Ended faultOf(CommandLine::Fault::Kind kind, std::string argument, std::string value = {}) {
  return {{0, CommandLine::Fault{kind, std::move(argument), std::move(value)}}};
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

CommandLine::CommandLine() : app_(std::make_unique<CLI::App>()) {
  app_->set_help_flag();  // the programs have help texts of their own
  // CLI11 sets aside what it does not know and reads on: each option checks first that
  // nothing was set aside before it.
  app_->allow_extras();
}

CommandLine::~CommandLine() = default;

void CommandLine::addStop(const std::string& names, int code) {
  addFlag(names, [code] { throw Ended{{code, std::nullopt}}; });
}

void CommandLine::addFlag(const std::string& names, std::function<void()> set) {
  app_->add_flag_callback(names,
                          [this, set] {
                            checkNothingUnknownBefore();
                            set();
                          })
      ->disable_flag_override()  // "--flag=value" is no flag
      ->trigger_on_parse();
  for (const std::string& name : CLI::detail::split(names, ',')) {
    if (name.starts_with("--")) flagNames_.push_back(name);
  }
}

void CommandLine::addValue(const std::string& name, std::function<bool(const std::string&)> set) {
  app_->add_option_function<std::string>(name,
                                         [this, name, set](const std::string& value) {
                                           checkNothingUnknownBefore();
                                           if (!set(value)) {
                                             throw faultOf(Fault::Kind::BadValue, name, value);
                                           }
                                         })
      ->trigger_on_parse();
  valueNames_.push_back(name);
}

CommandLine::Outcome CommandLine::read(const std::vector<std::string>& args) {
  try {
    std::vector<std::string> reversed = splitEmptyValues(args);
    std::reverse(reversed.begin(), reversed.end());  // CLI11 takes them last first
    app_->parse(std::move(reversed));
    checkNothingUnknownBefore();
  } catch (const Ended& ended) {
    return ended.outcome;
  } catch (const CLI::ArgumentMismatch& error) {
    try {
      checkNothingUnknownBefore();
      if (const std::string* given = flagGivenAValue(args, error)) {
        throw faultOf(Fault::Kind::UnknownArgument, *given);
      }
      // Otherwise the last argument is an option that lacks its value.
      const std::string& last = args.back();
      if (contains(valueNames_, last)) throw faultOf(Fault::Kind::MissingValue, last);
      throw faultOf(Fault::Kind::UnknownArgument, last);
    } catch (const Ended& ended) {
      return ended.outcome;
    }
  }
  return {};
}

void CommandLine::checkNothingUnknownBefore() const {
  const std::vector<std::string> unknown = app_->remaining();
  if (!unknown.empty()) throw faultOf(Fault::Kind::UnknownArgument, unknown.front());
}

// CLI11 reads "--name=" as "--name" and would take the next argument as its value: the empty
// value of an option that takes one is passed on as an argument of its own.
std::vector<std::string> CommandLine::splitEmptyValues(const std::vector<std::string>& args) const {
  std::vector<std::string> split;
  for (const std::string& arg : args) {
    if (arg.ends_with('=') && contains(valueNames_, arg.substr(0, arg.size() - 1))) {
      split.push_back(arg.substr(0, arg.size() - 1));
      split.emplace_back();
    } else {
      split.push_back(arg);
    }
  }
  return split;
}

// The argument that gave a flag a value ("--yes=1"), when that is what `error` reports.
const std::string* CommandLine::flagGivenAValue(const std::vector<std::string>& args,
                                                const std::exception& error) const {
  for (const std::string& flag : flagNames_) {
    const std::string refusal = CLI::ArgumentMismatch::FlagOverride(flag.substr(2)).what();
    if (refusal != error.what()) continue;
    for (const std::string& arg : args) {
      if (arg.starts_with(flag + "=")) return &arg;
    }
  }
  return nullptr;
}

}  // namespace quorvel
