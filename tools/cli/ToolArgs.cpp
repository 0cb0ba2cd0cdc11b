#include "tools/cli/ToolArgs.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <ostream>

#include "KelvaneVersion.h"
#include "tools/cli/HelpLayout.h"
#include "tools/cli/Output.h"

namespace kdl::cli {

void SetUpApp(CLI::App& app, const std::string& tool, const std::string& description) {
  app.name(tool);
  app.description(description);
  app.formatter(std::make_shared<WrappingFormatter>());
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
    r.text = e.what();
  }
  return r;
}

ParseResult ParseArgs(CLI::App& app, int argc, const char* const* argv) {
  return ParseArgs(app, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}

int ReportParse(const ParseResult& r, const std::string& tool, int outputFailed,
                std::ostream& out, std::ostream& err) {
  if (r.kind == ParseResult::kUsageError) {
    err << tool << ": " << r.text << "\nRun '" << tool << " --help' for more information.\n";
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

CLI::Option* AddNumberTo(CLI::App* app, const std::string& name,
                         std::function<void(uint32_t)> store, const std::string& description,
                         uint32_t max) {
  const std::string label = name.substr(0, name.find(','));
  auto check = [store, max, label](const std::string& text) {
    uint32_t v = 0;
    if (!ParseU32(text, &v) || v > max) {
      throw CLI::ValidationError(label, "must be a number from 0 to " + std::to_string(max) +
                                            " (decimal or 0x hex), not \"" + text + "\"");
    }
    store(v);
  };
  return app->add_option_function<std::string>(name, check, description)->type_name("N");
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
