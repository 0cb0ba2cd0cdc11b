// Help texts that fit 80 columns: CLI11's layout with every description
// wrapped at word boundaries.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>

namespace kdl::cli {

// The width every help text fits in.
constexpr size_t kHelpWidth = 80;

// `text` wrapped at blanks into lines of at most `width` columns; line feeds
// in `text` are kept, and a word longer than a line stands on its own.
std::string WrapText(const std::string& text, size_t width);

// CLI11's formatter with the usage line first, every description wrapped to
// kHelpWidth, and an option's value shown by the name its tool gave it
// ("--pcap FILE"), without the parser's notes on its checks.
class WrappingFormatter : public CLI::Formatter {
 public:
  WrappingFormatter();
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override;
  std::string make_option_opts(const CLI::Option* opt) const override;
  std::string make_option(const CLI::Option* opt, bool is_positional) const override;
  std::string make_subcommand(const CLI::App* sub) const override;
  std::string make_description(const CLI::App* app) const override;
  std::string make_footer(const CLI::App* app) const override;

 private:
  // One "  name   description" entry, the description wrapped beside the name.
  std::string Entry(const std::string& name, const std::string& description) const;
};

}  // namespace kdl::cli
