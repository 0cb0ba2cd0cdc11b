// Command line of kelvane-dump, on the tools' shared CLI11 set-up.
#include "tools/dump/DumpArgs.h"

#include <algorithm>
#include <ostream>

#include "tools/cli/ToolArgs.h"

namespace kdl::dump {

int ParseDumpArgs(const std::vector<std::string>& args, DumpOptions* o, std::ostream& out,
                  std::ostream& err) {
  CLI::App app;
  kdl::cli::SetUpApp(app, "kelvane-dump",
      "Decodes packets of the diskless server protocol with the library's packet factory and "
      "shows their heads and fields: hex or bytes one packet after another (each head's Length "
      "tells where the next begins), or the UDP and TCP traffic of a capture file.\n"
      "Exit status: 0 all decoded, 1 something did not decode (or a stream ends mid-packet), "
      "2 bad arguments or unreadable input, 3 the output cannot be written.");
  app.add_option("HEX", o->hex,
                 "Hex: plain, xxd, hexdump -C, 0x-prefixed or aa:bb:cc bytes; without HEX, "
                 "--file or --pcap it is read from standard input");
  auto* file = app.add_option("--file", o->file, "Raw bytes from a file");
  auto* pcap = app.add_option("--pcap", o->pcap,
                              "A pcap or pcapng capture: the discovery datagrams (UDP port 800) "
                              "and the TCP streams of the tool service");
  app.add_option("--port", o->ports,
                 "A TCP port of the tool service (repeatable); besides the ports that discovery "
                 "replies announce. With neither, every TCP stream that starts with a packet head")
      ->check(CLI::Range(1, 65535))
      ->needs(pcap);
  app.add_option("--type", o->types,
                 "Show only this type code, class name or packet name, e.g. 0x80020002, "
                 "CPktToolLoginAck or \"login reply\" (repeatable)");
  auto* split = app.add_option("--split", o->split,
                               "length: packets follow one another, each as long as its "
                               "Length; line: one packet per line of hex; none: all the input "
                               "is one packet")
                    ->check(CLI::IsMember({"length", "line", "none"}));
  app.add_flag("--json", o->json, "One JSON object per packet, one per line");
  app.add_flag("--net-order", o->netOrder,
               "Integers are big-endian (links normally run little-endian)");
  auto* all = app.add_flag("--all-codes", o->allCodes,
                           "List every known type code with its class name");
  file->excludes(pcap);
  split->excludes(pcap);
  all->excludes(file)->excludes(pcap);

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
    if (!o->pcap.empty() && !o->hex.empty())
      throw CLI::ValidationError("HEX", "give hex or --pcap, not both");
    if (!o->file.empty() && !o->hex.empty())
      throw CLI::ValidationError("HEX", "give hex or --file, not both");
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e, out, err);
    return status == 0 ? 0 : 2;
  }
  return -1;
}

}  // namespace kdl::dump
