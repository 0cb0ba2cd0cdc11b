#include "tools/cli/ToolArgs.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <ostream>

#include "KelvaneVersion.h"
#include "tools/cli/HelpLayout.h"
#include "tools/cli/Output.h"

namespace kdl::cli {
namespace {

// `text` with `prefix` cut off its front; false when it does not start so.
bool CutPrefix(const std::string& text, const std::string& prefix, std::string* rest) {
  if (text.compare(0, prefix.size(), prefix) != 0) return false;
  *rest = text.substr(prefix.size());
  return true;
}

// "A <infix> B" split at the first <infix>.
bool SplitAt(const std::string& text, const std::string& infix, std::string* a, std::string* b) {
  const size_t at = text.find(infix);
  if (at == std::string::npos || at == 0) return false;
  *a = text.substr(0, at);
  *b = text.substr(at + infix.size());
  return !b->empty();
}

// An argument nobody takes: an option (up to its '=') or a stray word.
std::string Unexpected(const std::string& word) {
  if (!word.empty() && word[0] == '-' && word != "-")
    return "unknown option " + word.substr(0, word.find('='));
  return "unexpected argument \"" + word + "\"";
}

// "--file needs a value (--file FILE)", with the value's name when known.
std::string NeedsValue(const std::string& name, const CLI::App& app) {
  const CLI::Option* opt = app.get_option_no_throw(name);
  const std::string type = opt ? opt->get_type_name() : std::string();
  if (type.empty() || type.find(':') != std::string::npos) return name + " needs a value";
  return name + " needs a value (" + name + " " + type + ")";
}

}  // namespace

std::string UsageText(const CLI::ParseError& e, const CLI::App& app) {
  const std::string text = e.what();
  std::string a, b;
  if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
    // "The following argument(s) was/were not expected: X Y"
    if (SplitAt(text, ": ", &a, &b)) return Unexpected(b.substr(0, b.find(' ')));
  } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
    // "--x: 1 required TYPE missing", "--x: At Most 1 required but received 2"
    if (SplitAt(text, ": ", &a, &b)) {
      if (b.find("At Most") != std::string::npos) return a + " may be given only once";
      if (b.find(" missing") != std::string::npos || b.find("At least") != std::string::npos)
        return NeedsValue(a, app);
    }
  } else if (dynamic_cast<const CLI::ExcludesError*>(&e)) {
    if (SplitAt(text, " excludes ", &a, &b)) return a + " and " + b + " cannot be given together";
  } else if (dynamic_cast<const CLI::RequiresError*>(&e)) {
    if (SplitAt(text, " requires ", &a, &b)) return a + " needs " + b;
  } else if (dynamic_cast<const CLI::ConversionError*>(&e)) {
    if (CutPrefix(text, "Could not convert: ", &b) && SplitAt(b, " = ", &a, &b))
      return a + ": cannot read \"" + b + "\"";
    const size_t flag = text.find(": too many inputs for a flag");
    if (flag != std::string::npos) return text.substr(0, flag) + " takes no value";
  }
  return text;  // the tool's own checks, and RequiredError ("X is required")
}

void SetUpApp(CLI::App& app, const std::string& tool, const std::string& description) {
  app.name(tool);
  app.description(description);
  auto formatter = std::make_shared<WrappingFormatter>();
  formatter->label("Positionals", "Arguments");
  app.formatter(formatter);
  app.set_help_flag("-h,--help", "Show this help and exit");
  app.set_version_flag("--version", tool + " " + KELVANE_VERSION, "Show the version and exit");
}

ParseResult ParseArgs(CLI::App& app, const std::vector<std::string>& args) {
  ParseResult r;
  try {
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
  } catch (const CLI::CallForHelp&) {
    r.kind = ParseResult::kHelp;
    r.text = app.help();
  } catch (const CLI::CallForAllHelp&) {
    r.kind = ParseResult::kHelp;
    r.text = app.help("", CLI::AppFormatMode::All);
  } catch (const CLI::CallForVersion& e) {
    r.kind = ParseResult::kVersion;
    r.text = std::string(e.what()) + "\n";
  } catch (const CLI::ParseError& e) {
    r.kind = ParseResult::kUsageError;
    r.text = UsageText(e, app);
  }
  return r;
}

ParseResult ParseArgs(CLI::App& app, int argc, const char* const* argv) {
  return ParseArgs(app, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}

int ReportParse(const ParseResult& r, const std::string& tool, int outputFailed,
                std::ostream& out, std::ostream& err) {
  if (r.kind == ParseResult::kUsageError) {
    err << tool << ": " << r.text << "\nTry '" << tool << " --help' for more information.\n";
    err.flush();
    return kExitUsage;
  }
  out << r.text;
  return OutputWritten(out, tool) ? 0 : outputFailed;
}

bool ParseU32(const std::string& text, uint32_t* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  if (text.size() > 1 && text[0] == '0' && text[1] != 'x' && text[1] != 'X') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

namespace {

// Reads one number of `label` from `min` to `max`, or throws the usage error.
uint32_t CheckedNumber(const std::string& label, const std::string& text, uint32_t min,
                       uint32_t max) {
  uint32_t v = 0;
  if (!ParseU32(text, &v) || v > max || v < min) {
    throw CLI::ValidationError(label, "must be a number from " + std::to_string(min) + " to " +
                                          std::to_string(max) + " (decimal or 0x hex), not \"" +
                                          text + "\"");
  }
  return v;
}

// The long name when there is one ("-n,--lines": --lines), as CLI11 names it.
std::string LabelOf(const std::string& name) {
  const size_t comma = name.find(',');
  return comma == std::string::npos ? name : name.substr(comma + 1);
}

}  // namespace

CLI::Option* AddNumberTo(CLI::App* app, const std::string& name,
                         std::function<void(uint32_t)> store, const std::string& description,
                         uint32_t max, uint32_t min) {
  const std::string label = LabelOf(name);
  auto check = [store, max, min, label](const std::string& text) {
    store(CheckedNumber(label, text, min, max));
  };
  return app->add_option_function<std::string>(name, check, description)->type_name("N");
}

CLI::Option* AddNumbersTo(CLI::App* app, const std::string& name,
                          std::function<void(uint32_t)> each, const std::string& description,
                          uint32_t max, uint32_t min) {
  const std::string label = LabelOf(name);
  auto check = [each, max, min, label](const std::string& text) {
    each(CheckedNumber(label, text, min, max));
  };
  return AddRepeated(app, name, check, description)->type_name("N");
}

CLI::Option* AddRepeated(CLI::App* app, const std::string& name,
                         std::function<void(const std::string&)> each,
                         const std::string& description) {
  auto all = [each](const std::vector<std::string>& values) {
    for (const std::string& v : values) each(v);
  };
  return app->add_option_function<std::vector<std::string>>(name, all, description)
      ->allow_extra_args(false);
}

CLI::Option* AddChoice(CLI::App* app, const std::string& name, std::string* target,
                       const std::vector<std::string>& choices, const std::string& description,
                       const std::string& typeName) {
  auto check = [choices](const std::string& text) {
    for (const std::string& c : choices)
      if (text == c) return std::string();
    std::string list;
    for (size_t i = 0; i < choices.size(); ++i)
      list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
    return "must be " + list + ", not \"" + text + "\"";
  };
  return app->add_option(name, *target, description)->check(check)->type_name(typeName);
}

CLI::Option* AddText(CLI::App* app, const std::string& name, std::string* target,
                     const std::string& description, size_t maxBytes, const std::string& what) {
  auto check = [maxBytes, what](const std::string& text) {
    if (text.size() <= maxBytes) return std::string();
    return "must hold at most " + std::to_string(maxBytes) + " bytes (" + what + "), not " +
           std::to_string(text.size());
  };
  return app->add_option(name, *target, description)->check(check)->type_name("TEXT");
}

}  // namespace kdl::cli
