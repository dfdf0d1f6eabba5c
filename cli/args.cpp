// Argument checking and help texts shared by every subcommand.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "cli/cli.h"
#include "shared/errors.h"

namespace velquor::cli {
namespace {

const OptionSpec* find_long(const Command& command, const std::string& name) {
  for (const auto& option : command.options)
    if (option.name == name) return &option;
  return nullptr;
}

const OptionSpec* find_short(const Command& command, char letter) {
  for (const auto& option : command.options)
    if (option.short_name != 0 && option.short_name == letter) return &option;
  return nullptr;
}

std::string option_synopsis(const OptionSpec& option) {
  std::string text = option.name;
  if (!option.value_name.empty()) text += " " + option.value_name;
  return text;
}

// Reads the value of `option` from "--opt=value" or the next word.
std::string take_value(const OptionSpec& option, const std::optional<std::string>& inline_value,
                       const std::vector<std::string>& words, size_t& index) {
  if (inline_value) return *inline_value;
  if (index + 1 >= words.size())
    throw UsageError("option " + option.name + " needs a value (" + option.value_name + ")");
  return words[++index];
}

void record(std::map<std::string, std::vector<std::string>>& values, const OptionSpec& option,
            std::string value) {
  auto& slot = values[option.name];
  if (!option.repeatable && !option.value_name.empty()) slot.clear();
  slot.push_back(std::move(value));
}

// "-v", "-vv": every letter must be a known flag.
void parse_short_group(const Command& command, const std::string& word,
                       std::map<std::string, std::vector<std::string>>& values) {
  for (size_t i = 1; i < word.size(); ++i) {
    const OptionSpec* option = find_short(command, word[i]);
    if (option == nullptr || !option->value_name.empty())
      throw UsageError("unknown option '" + word + "'");
    values[option->name].push_back("");
  }
}

// A positional named "X..." takes every word the others leave, at least
// one; "[X...]" may take none. Lower-case names are literal words
// ("collect git"), the others placeholders.
void check_positional_count(const Command& command, const std::vector<std::string>& words) {
  std::vector<const std::string*> required;
  bool variadic = false;
  for (const auto& name : command.positionals) {
    variadic = variadic || name.find("...") != std::string::npos;
    if (!name.starts_with("[")) required.push_back(&name);
  }
  if (words.size() < required.size()) {
    const std::string& name = *required[words.size()];
    bool literal = std::none_of(name.begin(), name.end(), [](char c) { return std::isupper(c); });
    throw UsageError(literal ? "expected '" + name + "'" : "missing argument " + name);
  }
  if (!variadic && words.size() > command.positionals.size())
    throw UsageError("unexpected argument '" + words[command.positionals.size()] + "'");
}

}  // namespace

Args::Args(const Command& command, std::vector<std::string> positionals,
           std::map<std::string, std::vector<std::string>> values)
    : command_(&command), positionals_(std::move(positionals)), values_(std::move(values)) {}

int Args::count(const std::string& option) const {
  auto it = values_.find(option);
  return it == values_.end() ? 0 : static_cast<int>(it->second.size());
}

std::optional<std::string> Args::value(const std::string& option) const {
  auto it = values_.find(option);
  if (it == values_.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

const std::vector<std::string>& Args::values(const std::string& option) const {
  static const std::vector<std::string> kNone;
  auto it = values_.find(option);
  return it == values_.end() ? kNone : it->second;
}

int64_t Args::integer(const std::string& option, int64_t fallback, int64_t minimum) const {
  auto text = value(option);
  if (!text) return fallback;
  size_t used = 0;
  long long parsed = 0;
  try {
    parsed = std::stoll(*text, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text->size())
    throw UsageError("option " + option + " needs a whole number, got '" + *text + "'");
  if (parsed < minimum)
    throw UsageError("option " + option + " must be at least " + std::to_string(minimum) +
                     ", got " + *text);
  return parsed;
}

bool wants_help(const std::vector<std::string>& words) {
  for (const auto& word : words) {
    if (word == "--") return false;
    if (word == "--help" || word == "-h") return true;
  }
  return false;
}

Args parse_args(const Command& command, const std::vector<std::string>& words) {
  std::vector<std::string> positionals;
  std::map<std::string, std::vector<std::string>> values;
  bool options_done = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (options_done || word.size() < 2 || word[0] != '-') {
      positionals.push_back(word);
    } else if (word == "--") {
      options_done = true;
    } else if (word[1] != '-') {
      // "-o FILE": a single letter may stand for an option with a value.
      const OptionSpec* valued = word.size() == 2 ? find_short(command, word[1]) : nullptr;
      if (valued && !valued->value_name.empty())
        record(values, *valued, take_value(*valued, std::nullopt, words, i));
      else
        parse_short_group(command, word, values);
    } else {
      size_t eq = word.find('=');
      std::string name = word.substr(0, eq);
      std::optional<std::string> inline_value;
      if (eq != std::string::npos) inline_value = word.substr(eq + 1);
      const OptionSpec* option = find_long(command, name);
      if (option == nullptr) throw UsageError("unknown option '" + name + "'");
      if (option->value_name.empty()) {
        if (inline_value) throw UsageError("option " + name + " takes no value");
        values[name].push_back("");
      } else {
        record(values, *option, take_value(*option, inline_value, words, i));
      }
    }
  }
  check_positional_count(command, positionals);
  return Args(command, std::move(positionals), std::move(values));
}

std::string command_usage(const Command& command) {
  std::string text = "velquor " + command.name;
  for (const auto& name : command.positionals) text += " " + name;
  for (const auto& option : command.options) text += " [" + option_synopsis(option) + "]";
  return text;
}

std::string command_help(const Command& command) {
  std::ostringstream out;
  out << "usage: " << command_usage(command) << "\n\n" << command.description << "\n";
  if (!command.options.empty()) {
    out << "\nOptions:\n";
    for (const auto& option : command.options) {
      std::string left = option_synopsis(option);
      if (option.short_name != 0) left = std::string("-") + option.short_name + ", " + left;
      out << "  " << left;
      out << std::string(left.size() < 26 ? 26 - left.size() : 1, ' ') << option.help << "\n";
    }
  }
  return out.str();
}

fs::path existing_data_dir(const std::string& text) {
  fs::path dir(text);
  std::error_code ec;
  if (!fs::exists(dir, ec)) throw FileNotFound(text + ": no such directory");
  if (!fs::is_directory(dir, ec)) throw IoError(text + ": not a directory");
  return dir;
}

fs::path data_dir_with_events(const std::string& text) {
  fs::path dir = existing_data_dir(text);
  std::error_code ec;
  if (!fs::is_directory(dir / "events", ec))
    throw FileNotFound((dir / "events").string() +
                       ": no such directory (create the events with 'velquor collect git REPO " +
                       text + "' or 'velquor demo " + text + "')");
  return dir;
}

void progress(const std::string& line) {
  std::cerr << line << std::endl;
}

Stopwatch::Stopwatch()
    : start_ns_(std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count()) {}

std::string Stopwatch::elapsed() const {
  int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count();
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(now_ns - start_ns_) / 1e9);
  return text;
}

}  // namespace velquor::cli
