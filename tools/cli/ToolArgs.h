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

// Parses `args` (without the program name) with `app`; prints nothing.
ParseResult ParseArgs(CLI::App& app, const std::vector<std::string>& args);
ParseResult ParseArgs(CLI::App& app, int argc, const char* const* argv);

// Prints the outcome of a parse that is not kRun: help and version to
// `out`, a usage error to `err` as "<tool>: <error>" with a pointer to
// --help. Returns the exit status: 0 after help or version, kExitUsage after
// a usage error, `outputFailed` when `out` could not be written (with a
// message on `err`).
int ReportParse(const ParseResult& r, const std::string& tool, int outputFailed,
                std::ostream& out, std::ostream& err);

// Decimal or 0x-prefixed hexadecimal unsigned 32-bit number, nothing else
// (no sign, no blanks, no leading zero that would read as octal elsewhere).
bool ParseU32(const std::string& text, uint32_t* out);

// An option (or, for a name without dashes, a positional) that hands a
// number of ParseU32's form from 0 to `max` to `store`; anything else is a
// usage error that names the option and the range.
CLI::Option* AddNumberTo(CLI::App* app, const std::string& name,
                         std::function<void(uint32_t)> store, const std::string& description,
                         uint32_t max);

// The same, stored in `*target` (an unsigned type of at most 32 bits).
template <class T>
CLI::Option* AddNumber(CLI::App* app, const std::string& name, T* target,
                       const std::string& description,
                       uint32_t max = std::numeric_limits<T>::max()) {
  static_assert(std::numeric_limits<T>::max() <= UINT32_MAX, "at most 32 bits");
  return AddNumberTo(app, name, [target](uint32_t v) { *target = static_cast<T>(v); },
                     description, max);
}

// An option that may be given several times, one value each time; `each`
// takes every value in order and throws CLI::ValidationError for a bad one.
CLI::Option* AddRepeated(CLI::App* app, const std::string& name,
                         std::function<void(const std::string&)> each,
                         const std::string& description);

// An option or positional text of at most `maxBytes` bytes (`what` says why
// the limit is there, for the error message).
CLI::Option* AddText(CLI::App* app, const std::string& name, std::string* target,
                     const std::string& description, size_t maxBytes, const std::string& what);

}  // namespace kdl::cli
