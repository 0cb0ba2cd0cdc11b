#include "tools/cli/HelpLayout.h"

#include "util/TerminalText.h"

namespace kdl::cli {
namespace {

// Width of the name column of option and subcommand entries.
constexpr size_t kNameColumn = 26;

// One paragraph (no line feeds) wrapped into `width` columns.
std::string WrapParagraph(const std::string& text, size_t width) {
  std::string out, line;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = text.find_first_not_of(' ', pos);
    if (start == std::string::npos) break;
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    const size_t lineWidth = kdl::util::DisplayWidth(line);
    if (!line.empty() && lineWidth + 1 + kdl::util::DisplayWidth(word) > width) {
      out += line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    pos = end;
  }
  return out + line;
}

}  // namespace

std::string WrapText(const std::string& text, size_t width) {
  std::string out;
  size_t pos = 0;
  while (true) {
    const size_t nl = text.find('\n', pos);
    out += WrapParagraph(text.substr(pos, nl == std::string::npos ? nl : nl - pos), width);
    if (nl == std::string::npos) return out;
    out += "\n";
    pos = nl + 1;
  }
}

WrappingFormatter::WrappingFormatter() { column_width(kNameColumn); }

std::string WrappingFormatter::Entry(const std::string& name, const std::string& description) const {
  std::string out = "  " + name;
  if (description.empty()) return out + "\n";
  const std::string indent(kNameColumn, ' ');
  if (kdl::util::DisplayWidth(out) + 1 > kNameColumn) {
    out += "\n" + indent;
  } else {
    out += std::string(kNameColumn - kdl::util::DisplayWidth(out), ' ');
  }
  const std::string wrapped = WrapText(description, kHelpWidth - kNameColumn);
  for (char c : wrapped) {
    out += c;
    if (c == '\n') out += indent;
  }
  return out + "\n";
}

std::string WrappingFormatter::make_help(const CLI::App* app, std::string name,
                                         CLI::AppFormatMode mode) const {
  if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
  std::string out = make_usage(app, name);
  const std::string description = make_description(app);
  if (!description.empty()) out += "\n" + description;
  out += make_positionals(app) + make_groups(app, mode) + make_subcommands(app, mode);
  const std::string footer = make_footer(app);
  if (!footer.empty()) out += "\n" + footer;
  // CLI11 puts two blank lines between groups of options: one is enough.
  for (size_t at; (at = out.find("\n\n\n")) != std::string::npos;) out.erase(at, 1);
  return out;
}

std::string WrappingFormatter::make_option_opts(const CLI::Option* opt) const {
  if (opt->get_positional() || opt->get_type_size() == 0) return "";
  // The value's name only: CLI11 appends its checks' descriptions after ':'.
  const std::string type = opt->get_type_name();
  return " " + type.substr(0, type.find(':'));
}

std::string WrappingFormatter::make_option(const CLI::Option* opt, bool is_positional) const {
  return Entry(make_option_name(opt, is_positional) + make_option_opts(opt), make_option_desc(opt));
}

std::string WrappingFormatter::make_subcommand(const CLI::App* sub) const {
  return Entry(sub->get_display_name(), sub->get_description());
}

std::string WrappingFormatter::make_description(const CLI::App* app) const {
  const std::string d = CLI::Formatter::make_description(app);
  return d.empty() ? d : WrapText(d, kHelpWidth);
}

std::string WrappingFormatter::make_footer(const CLI::App* app) const {
  const std::string f = CLI::Formatter::make_footer(app);
  return f.empty() ? f : WrapText(f, kHelpWidth);
}

}  // namespace kdl::cli
