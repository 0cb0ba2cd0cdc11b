// Command line of kelvane-dump, on the tools' shared CLI11 set-up.
#include "tools/dump/DumpArgs.h"

#include <ostream>

#include "tools/cli/ToolArgs.h"

namespace kdl::dump {
namespace {

// The exit status when help or the version cannot be written.
constexpr int kHelpNotWritten = 3;

void AddOptions(CLI::App& app, DumpOptions* o) {
  app.add_option("HEX", o->hex,
                 "Hex: plain, xxd, hexdump -C, 0x-prefixed or aa:bb:cc bytes; without HEX, "
                 "--file, --pcap or --interface it is read from standard input");
  app.add_option("--file", o->file, "Raw bytes from a file (\"-\": standard input)")
      ->type_name("FILE");
  app.add_option("--pcap", o->pcap,
                 "A pcap or pcapng capture: the discovery datagrams (UDP port 800) and the TCP "
                 "streams of the tool service; \"-\" reads it from standard input as it comes, "
                 "e.g. from tcpdump -w -")
      ->type_name("FILE");
  app.add_option("--interface", o->iface,
                 "Capture live on IFACE (any: all of them) and decode the discovery datagrams "
                 "and the tool service's streams as they pass, until Ctrl-C; needs the right "
                 "to capture (root, or CAP_NET_RAW and CAP_NET_ADMIN)")
      ->type_name("IFACE");
  kdl::cli::AddNumberTo(&app, "--count", [o](uint32_t n) { o->count = n; },
                        "With --pcap or --interface: stop after N packets are shown", UINT32_MAX,
                        1);
  kdl::cli::AddNumbersTo(&app, "--port", [o](uint32_t p) { o->ports.push_back(uint16_t(p)); },
                         "A TCP port of the tool service (repeatable); besides the ports that "
                         "discovery replies announce. With neither, every TCP stream that "
                         "starts with a packet head (live: port 8000 and the announced ones)",
                         65535, 1)
      ->type_name("PORT");
  app.add_option("--type", o->types,
                 "Show only this type code, class name or packet name, e.g. 0x80020002, "
                 "CPktToolLoginAck or \"login reply\" (repeatable)")
      ->type_name("TYPE");
  kdl::cli::AddChoice(&app, "--split", &o->split, {"length", "line", "none"},
                      "length: packets follow one another, each as long as its Length (the "
                      "default); line: one packet per line of hex; none: all the input is one "
                      "packet",
                      "MODE");
  app.add_flag("--json", o->json, "One JSON object per packet, one per line");
  app.add_flag("--net-order", o->netOrder,
               "Integers are big-endian (links normally run little-endian)");
  app.add_flag("--all-codes", o->allCodes, "List every known type code with its class name");
}

// What the options given cannot do together; "" when they can.
std::string Conflict(const DumpOptions& o) {
  const std::pair<bool, const char*> inputs[] = {{!o.hex.empty(), "HEX"},
                                                 {!o.file.empty(), "--file"},
                                                 {!o.pcap.empty(), "--pcap"},
                                                 {!o.iface.empty(), "--interface"},
                                                 {o.allCodes, "--all-codes"}};
  const char* first = nullptr;
  for (const auto& in : inputs) {
    if (!in.first) continue;
    if (first) return std::string(first) + " and " + in.second + " cannot be given together";
    first = in.second;
  }
  const bool capture = !o.pcap.empty() || !o.iface.empty();
  if (!capture && !o.ports.empty()) return "--port needs --pcap or --interface";
  if (!capture && o.count) return "--count needs --pcap or --interface";
  if (capture && o.split != "length") return "--split is for hex and --file, not captures";
  return "";
}

}  // namespace

int ParseDumpArgs(const std::vector<std::string>& args, DumpOptions* o, std::ostream& out,
                  std::ostream& err) {
  CLI::App app;
  kdl::cli::SetUpApp(app, "kelvane-dump",
      "Decodes packets of the diskless server protocol with the library's packet factory and "
      "shows their heads and fields: hex or bytes one packet after another (each head's Length "
      "tells where the next begins), the UDP and TCP traffic of a capture file, or live "
      "traffic.");
  app.footer("Exit status: 0 all decoded, 1 something did not decode (or a stream ends "
             "mid-packet), 2 bad arguments, unreadable input or no right to capture, 3 the "
             "output cannot be written.");
  AddOptions(app, o);
  kdl::cli::ParseResult r = kdl::cli::ParseArgs(app, args);
  if (r.kind == kdl::cli::ParseResult::kRun) {
    r.text = Conflict(*o);
    if (!r.text.empty()) r.kind = kdl::cli::ParseResult::kUsageError;
  }
  if (r.kind == kdl::cli::ParseResult::kRun) return -1;
  return kdl::cli::ReportParse(r, "kelvane-dump", kHelpNotWritten, out, err);
}

}  // namespace kdl::dump
