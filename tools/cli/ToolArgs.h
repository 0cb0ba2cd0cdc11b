// The command line shared by the project's tools: one way to set up a CLI11
// parser (help wrapped to 80 columns, --version from the project's version),
// to parse it, to report the outcome, and to read numbers.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <limits>
#include <string>
#include <vector>

#include "tools/cli/ParseResult.h"

namespace kdl::cli {

// Names the parser `tool`, gives it `description`, the wrapping help layout,
// -h/--help and --version (prints "<tool> <version>").
void SetUpApp(CLI::App& app, const std::string& tool, const std::string& description);

// Parses `args` (without the program name) with `app`; prints nothing. A
// usage error is put in the tool's own words (UsageText), not the parser's.
ParseResult ParseArgs(CLI::App& app, const std::vector<std::string>& args);
ParseResult ParseArgs(CLI::App& app, int argc, const char* const* argv);

// Prints the outcome of a parse that is not kRun: help and version to
// `out`, a usage error to `err` as "<tool>: <error>" and "Try '<tool>
// --help' for more information.". Returns the exit status: 0 after help or version, kExitUsage after
// a usage error, `outputFailed` when `out` could not be written (with a
// message on `err`).
int ReportParse(const ParseResult& r, const std::string& tool, int outputFailed,
                std::ostream& out, std::ostream& err);

// The parser's complaint `e` in the words the tools use: "unknown option
// --x", "unexpected argument \"x\"", "--file needs a value (--file FILE)",
// "--a and --b cannot be given together", "--a needs --b"; an option's own
// check speaks for itself ("--port: must be ..."). `app` names the options.
std::string UsageText(const CLI::ParseError& e, const CLI::App& app);

// Decimal or 0x-prefixed hexadecimal unsigned 32-bit number, nothing else
// (no sign, no blanks, no leading zero that would read as octal elsewhere).
bool ParseU32(const std::string& text, uint32_t* out);

// An option (or, for a name without dashes, a positional) that hands a
// number of ParseU32's form from `min` to `max` to `store`; anything else is
// a usage error that names the option and the range. Shown as "NAME N".
CLI::Option* AddNumberTo(CLI::App* app, const std::string& name,
                         std::function<void(uint32_t)> store, const std::string& description,
                         uint32_t max, uint32_t min = 0);

// The same for an option that may be given several times: `each` takes
// every number in order.
CLI::Option* AddNumbersTo(CLI::App* app, const std::string& name,
                          std::function<void(uint32_t)> each, const std::string& description,
                          uint32_t max, uint32_t min = 0);

// The same, stored in `*target` (an unsigned type of at most 32 bits).
template <class T>
CLI::Option* AddNumber(CLI::App* app, const std::string& name, T* target,
                       const std::string& description,
                       uint32_t max = std::numeric_limits<T>::max(), uint32_t min = 0) {
  static_assert(std::numeric_limits<T>::max() <= UINT32_MAX, "at most 32 bits");
  return AddNumberTo(app, name, [target](uint32_t v) { *target = static_cast<T>(v); },
                     description, max, min);
}

// An option that may be given several times, one value each time; `each`
// takes every value in order and throws CLI::ValidationError for a bad one.
CLI::Option* AddRepeated(CLI::App* app, const std::string& name,
                         std::function<void(const std::string&)> each,
                         const std::string& description);

// An option that takes one of `choices` into `*target`; anything else is a
// usage error that lists them. Shown as "NAME <typeName>" (e.g. "--color
// WHEN"); the description should name the choices.
CLI::Option* AddChoice(CLI::App* app, const std::string& name, std::string* target,
                       const std::vector<std::string>& choices, const std::string& description,
                       const std::string& typeName);

// An option or positional text of at most `maxBytes` bytes (`what` says why
// the limit is there, for the error message).
CLI::Option* AddText(CLI::App* app, const std::string& name, std::string* target,
                     const std::string& description, size_t maxBytes, const std::string& what);

}  // namespace kdl::cli
