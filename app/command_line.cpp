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
    (name.starts_with("--") ? flagNames_ : shortNames_).push_back(name);
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

// CLI11 reads "-yh" as "-y -h" and "--yes=true" as "--yes"; our programs never did. Such an
// argument is unknown: the arguments before it are read first, so that a fault or a stop
// option met earlier still comes first.
CommandLine::Outcome CommandLine::read(const std::vector<std::string>& args) {
  const std::size_t foreign = firstForeignForm(args);
  if (foreign == args.size()) return parse(args);
  const Outcome before = parse({args.begin(), args.begin() + static_cast<std::ptrdiff_t>(foreign)});
  if (before.stop != 0 || before.fault) return before;
  return {0, Fault{Fault::Kind::UnknownArgument, args[foreign], {}}};
}

// The index of the first argument in a form that CLI11 would take apart, args.size() when none.
std::size_t CommandLine::firstForeignForm(const std::vector<std::string>& args) const {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (contains(valueNames_, arg)) {
      ++i;  // its value, whatever it looks like
      continue;
    }
    const bool shortCluster = arg.size() > 2 && arg[0] == '-' && arg[1] != '-';
    const bool flagWithValue = std::any_of(flagNames_.begin(), flagNames_.end(),
                                           [&](const auto& f) { return arg.starts_with(f + "="); });
    if ((shortCluster && !contains(shortNames_, arg)) || flagWithValue) return i;
  }
  return args.size();
}

CommandLine::Outcome CommandLine::parse(const std::vector<std::string>& args) {
  try {
    std::vector<std::string> reversed = splitEmptyValues(args);
    std::reverse(reversed.begin(), reversed.end());  // CLI11 takes them last first
    app_->parse(std::move(reversed));
    checkNothingUnknownBefore();
  } catch (const Ended& ended) {
    return ended.outcome;
  } catch (const CLI::ArgumentMismatch&) {
    try {
      checkNothingUnknownBefore();
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

}  // namespace quorvel
