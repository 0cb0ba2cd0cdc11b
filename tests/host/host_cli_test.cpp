// The host tool's parsing and rendering: command lines, shell lines and the
// exact JSON and tables made of the library's records.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/host/Failure.h"
#include "tools/host/HostCli.h"
#include "tools/host/Render.h"

namespace kdl::host {
namespace {

using kdl::cli::ParseResult;

TEST(HostCliTest, OptionsStandBeforeOrAfterTheCommand) {
  CommandLine cl = ParseCommandLine({"--json", "create", "img one", "5", "--name=bob", "0x10"});
  ASSERT_EQ(cl.parse.kind, ParseResult::kRun) << cl.parse.text;
  EXPECT_TRUE(cl.options.json);
  EXPECT_EQ(cl.options.name, "bob");
  EXPECT_EQ(cl.command.id, CommandId::kCreate);
  EXPECT_EQ(cl.command.imageName, "img one");
  EXPECT_EQ(cl.command.param1, 5u);
  EXPECT_EQ(cl.command.param2, 16u);

  CommandLine lib = ParseCommandLine({"--lib", "/x/lib.so", "-v", "select", "7"});
  ASSERT_EQ(lib.parse.kind, ParseResult::kRun);
  EXPECT_EQ(lib.options.lib, "/x/lib.so");
  EXPECT_TRUE(lib.options.verbose);
  EXPECT_EQ(lib.command.number, 7u);

  CommandLine dashed = ParseCommandLine({"cancel-admin", "1", "255", "--", "--text--"});
  ASSERT_EQ(dashed.parse.kind, ParseResult::kRun) << dashed.parse.text;
  EXPECT_EQ(dashed.command.flag1, 1);
  EXPECT_EQ(dashed.command.flag2, 255);
  EXPECT_EQ(dashed.command.text, "--text--");
  // "--" may also come before the command: its name is the first operand.
  CommandLine first = ParseCommandLine({"--json", "--", "cancel-admin", "1", "2", "-q"});
  ASSERT_EQ(first.parse.kind, ParseResult::kRun) << first.parse.text;
  EXPECT_FALSE(first.options.quiet);
  EXPECT_EQ(first.command.text, "-q");
}

TEST(HostCliTest, HelpForTheToolAndForACommand) {
  CommandLine tool = ParseCommandLine({"--help"});
  ASSERT_EQ(tool.parse.kind, ParseResult::kHelp);
  for (const char* name : {"discover", "login", "images", "snapshots", "create", "select",
                           "set-admin", "cancel-admin", "heartbeat", "shell"})
    EXPECT_NE(tool.parse.text.find("\n  " + std::string(name) + " "), std::string::npos) << name;
  EXPECT_EQ(ParseCommandLine({"help"}).parse.text, tool.parse.text);

  CommandLine cmd = ParseCommandLine({"select", "--help"});
  ASSERT_EQ(cmd.parse.kind, ParseResult::kHelp);
  EXPECT_EQ(cmd.parse.text.rfind("Usage: kelvane select [OPTIONS] IMAGE_ID\n", 0), 0u)
      << cmd.parse.text;
  EXPECT_EQ(ParseCommandLine({"help", "select"}).parse.text, cmd.parse.text);
  EXPECT_EQ(ParseCommandLine({"help", "nonsense"}).parse.kind, ParseResult::kUsageError);
  Command shellCmd;
  EXPECT_EQ(ParseShellWords({"help", "images"}, &shellCmd).kind, ParseResult::kHelp);
  EXPECT_EQ(ParseShellWords({"shell"}, &shellCmd).text, "already in a shell");
}

TEST(HostCliTest, RefusesBadArguments) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"select"},
      {"select", "1", "2"},
      {"select", "-1"},
      {"select", "4294967296"},
      {"select", "12abc"},
      {"select", "017"},
      {"create", "x", "y"},
      {"create", std::string(64, 'n'), "1"},
      {"create", "", "1"},
      {"cancel-admin", "256", "0", "t"},
      {"cancel-admin", "0", "0", std::string(260, 't')},
      {"images", "--verbos"},
      {"--name"},
      {"-v", "-q", "images"},
      {"create", "x", "0"},
      {"images", "--", "--json"},
      {"select", "--", "1", "2"},
      {"--", "--json"},
  };
  for (const auto& args : bad) {
    CommandLine cl = ParseCommandLine(args);
    EXPECT_EQ(cl.parse.kind, ParseResult::kUsageError) << (args.empty() ? "(none)" : args[0]);
    EXPECT_FALSE(cl.parse.text.empty());
  }
  EXPECT_EQ(ParseCommandLine({"frobnicate"}).parse.text, "unknown command \"frobnicate\"");
  EXPECT_EQ(ParseCommandLine({"select", "-1"}).parse.text,
            "IMAGE_ID: must be a number from 0 to 4294967295 (decimal or 0x hex), not \"-1\"");
  // A login name longer than the packet's field is refused, not cut.
  EXPECT_EQ(ParseCommandLine({"--name", std::string(33, 'n'), "login"}).parse.text,
            "--name: must hold at most 32 bytes (the login packet's field), not 33");
  // The longest texts the parameter layouts hold are accepted.
  for (const std::vector<std::string>& longest :
       {std::vector<std::string>{"create", std::string(63, 'n'), "1"},
        {"cancel-admin", "0", "0", std::string(259, 't')},
        {"--name", std::string(32, 'n'), "login"}})
    EXPECT_EQ(ParseCommandLine(longest).parse.kind, ParseResult::kRun) << longest[0];
}

TEST(HostCliTest, ShellLinesSplitOnBlanksAndGroupQuotes) {
  std::vector<std::string> w;
  std::string error;
  ASSERT_TRUE(SplitLine("  cancel-admin 1 0 \"two words\"\t", &w, &error));
  EXPECT_EQ(w, (std::vector<std::string>{"cancel-admin", "1", "0", "two words"}));
  ASSERT_TRUE(SplitLine(R"(create "a \"q\" \\ b"x 1)", &w, &error));
  EXPECT_EQ(w, (std::vector<std::string>{"create", "a \"q\" \\ bx", "1"}));
  ASSERT_TRUE(SplitLine("images\r", &w, &error));
  EXPECT_EQ(w, (std::vector<std::string>{"images"}));
  ASSERT_TRUE(SplitLine("", &w, &error));
  EXPECT_TRUE(w.empty());
  EXPECT_FALSE(SplitLine("create \"open 1", &w, &error));
}

Kelvane::_IN_IMAGE_INFO Image(uint32_t id, const char* name, uint32_t p1) {
  Kelvane::_IN_IMAGE_INFO i;
  std::memset(&i, 0, sizeof i);
  i.ServerIP = 0x0A4D0001;
  i.ServerPort = 8000;
  i.ImageId = id;
  i.Param1 = p1;
  std::strncpy(i.Name, name, sizeof i.Name - 1);
  return i;
}

TEST(RenderTest, JsonObjectsHaveTheDocumentedShape) {
  Kelvane::_IN_DISCOVER_INFO d{8000, 0x0A4D0001};
  EXPECT_EQ(JsonLine(DiscoverJson(0, d)),
            R"({"result":0,"server_ip":"10.77.0.1","server_port":8000})");
  Kelvane::_IN_CLIENT_INFO c{3, 1, -2};
  EXPECT_EQ(JsonLine(LoginJson(0, c)),
            R"({"result":0,"client_type":3,"manager_enable":1,"ext_info":-2})");
  Kelvane::ImageInfoList list{Image(1, "base", 1), Image(4, "new", 2)};
  EXPECT_EQ(JsonLine(ImagesJson(0, list)),
            R"({"result":0,"images":[)"
            R"({"image_id":1,"name":"base","param1":1,"server_ip":"10.77.0.1","server_port":8000},)"
            R"({"image_id":4,"name":"new","param1":2,"server_ip":"10.77.0.1","server_port":8000}]})");
  EXPECT_EQ(JsonLine(ImagesJson(0, {})), R"({"result":0,"images":[]})");
  Kelvane::_IN_SELECTIMAGE_INFO sel;
  std::memset(&sel, 0, sizeof sel);
  sel.bSucc = true;
  std::strcpy(sel.Path, "/img/a \"b\".img");
  EXPECT_EQ(JsonLine(SelectJson(0, sel)),
            R"({"result":0,"succ":true,"path":"/img/a \"b\".img"})");
  EXPECT_EQ(JsonLine(ResultJson(17)), R"({"result":17})");
}

TEST(RenderTest, SnapshotsAreOrderedByIdWithAllFields) {
  Kelvane::SnapInfoMap map;
  for (uint32_t id : {9u, 3u}) {
    Kelvane::_IN_SNAP_INFO s;
    std::memset(&s, 0, sizeof s);
    s.SnapshotId = id;
    s.ImageId = 2;
    s.ImageParam3 = 40960;
    s.Param2 = 12;
    s.Param3 = 13;
    s.Param4 = 14;
    s.Param5 = 15;
    s.Param6 = 16;
    std::strcpy(s.Text, id == 3 ? "three" : "nine");
    s.Time = {2026, 3, 0, 4, 5, 6, 7, 0};
    map[id] = s;
  }
  EXPECT_EQ(JsonLine(SnapshotsJson(0, map)),
            R"({"result":0,"snapshots":[)"
            R"({"snapshot_id":3,"image_id":2,"image_param3":40960,"param2":12,"param3":13,)"
            R"("param4":14,"param5":15,"param6":16,"text":"three","time":"2026-03-04 05:06:07"},)"
            R"({"snapshot_id":9,"image_id":2,"image_param3":40960,"param2":12,"param3":13,)"
            R"("param4":14,"param5":15,"param6":16,"text":"nine","time":"2026-03-04 05:06:07"}]})");
  std::string table = SnapshotsText(map);
  EXPECT_LT(table.find("three"), table.find("nine"));
  EXPECT_NE(table.find("2 snapshots"), std::string::npos);
}

TEST(RenderTest, TextFieldsStopAtTheirFieldAndBadBytesDoNotThrow) {
  // A name that fills its 64 bytes without a NUL is read no further.
  Kelvane::_IN_IMAGE_INFO full = Image(1, "", 1);
  std::memset(full.Name, 'z', sizeof full.Name);
  Kelvane::ImageInfoList list{full};
  Json j = ImagesJson(0, list);
  EXPECT_EQ(j["images"][0]["name"].get<std::string>(), std::string(64, 'z'));

  // Single-byte text that is not UTF-8 is replaced, not thrown on.
  Kelvane::ImageInfoList latin{Image(2, "caf\xE9", 1)};
  std::string line;
  ASSERT_NO_THROW(line = JsonLine(ImagesJson(0, latin)));
  EXPECT_NE(line.find("caf\xEF\xBF\xBD"), std::string::npos) << line;
}

TEST(RenderTest, TablesShowEveryRecord) {
  Kelvane::ImageInfoList list{Image(1, "base", 1), Image(12, "classroom", 2)};
  std::string t = ImagesText(list);
  EXPECT_EQ(t,
            "ID  NAME       PARAM1  SERVER\n"
            " 1  base            1  10.77.0.1:8000\n"
            "12  classroom       2  10.77.0.1:8000\n"
            "2 images\n");
  EXPECT_EQ(DiscoverText({8000, 0xC0A8000A}), "server    192.168.0.10\ntcp port  8000\n");
}

TEST(RenderTest, ServerTextCannotSteerTheTerminalOrBreakTheTable) {
  // An escape sequence, a line feed and a tab are shown as \xNN; UTF-8
  // names line up by characters, bytes of no UTF-8 character are escaped.
  Kelvane::ImageInfoList list{Image(1, "caf\xC3\xA9", 1), Image(2, "red\x1B[31m", 2),
                              Image(3, "two\nlines\t", 3), Image(4, "\xE9t\xE9", 4)};
  EXPECT_EQ(ImagesText(list),
            "ID  NAME              PARAM1  SERVER\n"
            " 1  caf\xC3\xA9                   1  10.77.0.1:8000\n"
            " 2  red\\x1B[31m            2  10.77.0.1:8000\n"
            " 3  two\\x0Alines\\x09       3  10.77.0.1:8000\n"
            " 4  \\xE9t\\xE9              4  10.77.0.1:8000\n"
            "4 images\n");
  Kelvane::_IN_SELECTIMAGE_INFO sel{};
  std::strcpy(sel.Path, "/img/\x07" "bell");
  EXPECT_EQ(SelectText(sel), "selected  no\npath      /img/\\x07bell\n");
}

TEST(FailureTest, ANoAnswerIsToldApartByTheLibrarysLinesAndTheTime) {
  const std::string timeout = "[10:00:03.001]|[00ab]|[Error]|Wait Query Image List Pack Overtime.";
  const std::string refused = "[10:00:00.001]|[00ab]|[Error]|TcpConnect failed; m_hTcpLink: 3";
  EXPECT_EQ(ClassifyNoAnswer({refused, timeout}, 3.0, false).kind, FailureKind::kTimeout);
  // A time-out after which the library ended the link: its close notice follows.
  const std::string ended = "[10:00:03.002]|[00ab]|[Warning]|Reply type:0x80020006 still owed "
                            "on link 3 after another time-out; link closed.";
  EXPECT_TRUE(ClassifyNoAnswer({timeout, ended}, 3.0, false).linkEnded);
  EXPECT_FALSE(ClassifyNoAnswer({refused, timeout}, 3.0, false).linkEnded);
  EXPECT_EQ(ClassifyNoAnswer({}, 2.95, false).kind, FailureKind::kTimeout);
  EXPECT_EQ(ClassifyNoAnswer({}, 0.1, true).kind, FailureKind::kClosed);
  EXPECT_EQ(ClassifyNoAnswer({"[x]|[1]|[Info]|TcpClosed hLink:4; m_hTcpLink:4."}, 0.2, false).kind,
            FailureKind::kClosed);
  // A close of an older link is not this request's.
  const Failure local =
      ClassifyNoAnswer({"[x]|[1]|[Info]|TcpClosed hLink:3; m_hTcpLink:4.", refused}, 0.01, false);
  EXPECT_EQ(local.kind, FailureKind::kLocal);
  EXPECT_EQ(ResultMeaning(1, local), "local failure: TcpConnect failed; m_hTcpLink: 3");
  EXPECT_EQ(ResultMeaning(1, Failure{FailureKind::kTimeout, ""}), "no reply within 3 s");
  EXPECT_EQ(ResultMeaning(17, Failure()), "server error code 17");
}

TEST(FailureTest, TheLibrarysOwnClosesAreToldFromTheServers) {
  const std::string closed = "[x]|[1]|[Info]|TcpClosed hLink:3; m_hTcpLink:3.";
  const std::string protocol =
      "[x]|[1]|[Error]|CNetProtocolEvent Link[0003] OnTcpErrProtocol RemoteIP:Port=10.0.0.1:8000.";
  const std::string owed = "[x]|[1]|[Warning]|Reply type:0x80020006 still owed on link 3 after "
                           "another time-out; link closed.";
  const std::string timeout = "[x]|[1]|[Error]|Wait Query Image List Pack Overtime.";
  EXPECT_EQ(ClassifyNoAnswer({protocol, closed}, 0.01, true).kind, FailureKind::kProtocol);
  const Failure late = ClassifyNoAnswer({timeout, owed}, 3.0, true);
  EXPECT_EQ(late.kind, FailureKind::kTimeout);
  EXPECT_TRUE(late.linkEnded);
  EXPECT_EQ(ClassifyClose({closed}), CloseCause::kServer);
  EXPECT_EQ(ClassifyClose({protocol, closed}), CloseCause::kProtocol);
  EXPECT_EQ(ClassifyClose({"[x]|[1]|[Info]|RetLoginServer ClientType:1", owed}), CloseCause::kOwed);
  // Other lines about reply types, or the owed text cut short, are no close.
  for (const char* other : {"[x]|[1]|[Warning]|Reply type:0x80020006 not awaited, dropped.",
                            "[x]|[1]|[Warning]|Reply type:0x80020006 still owed on link 3"})
    EXPECT_EQ(ClassifyClose({other}), CloseCause::kServer) << other;
  EXPECT_EQ(ResultMeaning(1, late),
            "no reply within 3 s; the library closed the link: it still owed a reply of that "
            "kind after another time-out");
  Failure unsent{FailureKind::kClosed, "", false, true};
  EXPECT_EQ(ResultMeaning(1, unsent), "the server closed the link before the request could be sent");
  EXPECT_STREQ(FailureName(FailureKind::kProtocol), "protocol");
}

}  // namespace
}  // namespace kdl::host
