// The host tool's parsing and rendering: command lines, shell lines and the
// exact JSON and tables made of the library's records.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/host/HostCli.h"
#include "tools/host/Render.h"

namespace kdl::host {
namespace {

TEST(HostCliTest, OptionsStandBeforeOrAfterTheCommand) {
  CommandLine cl = ParseCommandLine({"--json", "create", "img one", "5", "--name", "bob", "0x10"});
  ASSERT_TRUE(cl.ok) << cl.error;
  EXPECT_TRUE(cl.options.json);
  EXPECT_EQ(cl.options.name, "bob");
  EXPECT_EQ(cl.command.id, CommandId::kCreate);
  EXPECT_EQ(cl.command.imageName, "img one");
  EXPECT_EQ(cl.command.param1, 5u);
  EXPECT_EQ(cl.command.param2, 16u);

  CommandLine lib = ParseCommandLine({"--lib", "/x/lib.so", "--quiet", "select", "7"});
  ASSERT_TRUE(lib.ok);
  EXPECT_EQ(lib.options.lib, "/x/lib.so");
  EXPECT_TRUE(lib.options.quiet);
  EXPECT_EQ(lib.command.number, 7u);

  CommandLine dashed = ParseCommandLine({"cancel-admin", "1", "255", "--", "--text--"});
  ASSERT_TRUE(dashed.ok) << dashed.error;
  EXPECT_EQ(dashed.command.flag1, 1);
  EXPECT_EQ(dashed.command.flag2, 255);
  EXPECT_EQ(dashed.command.text, "--text--");
}

TEST(HostCliTest, HelpForTheToolAndForACommand) {
  CommandLine tool = ParseCommandLine({"--help"});
  ASSERT_TRUE(tool.ok);
  EXPECT_EQ(tool.command.id, CommandId::kHelp);
  EXPECT_TRUE(tool.command.helpTopic.empty());

  CommandLine cmd = ParseCommandLine({"select", "--help"});
  ASSERT_TRUE(cmd.ok);
  EXPECT_TRUE(cmd.command.help);
  EXPECT_EQ(cmd.command.name, "select");
  EXPECT_NE(CommandUsage("select").find("select IMAGE_ID"), std::string::npos);
  EXPECT_EQ(CommandUsage("nonsense"), "");
  for (const char* name : {"discover", "login", "images", "snapshots", "create", "select",
                           "set-admin", "cancel-admin", "heartbeat", "shell"})
    EXPECT_NE(ToolUsage().find(name), std::string::npos) << name;
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
      {"images", "--verbose"},
      {"--name"},
  };
  for (const auto& args : bad) {
    CommandLine cl = ParseCommandLine(args);
    EXPECT_FALSE(cl.ok) << (args.empty() ? "(none)" : args[0]);
    EXPECT_FALSE(cl.error.empty());
  }
  // The longest texts the parameter layouts hold are accepted.
  EXPECT_TRUE(ParseCommandLine({"create", std::string(63, 'n'), "1"}).ok);
  EXPECT_TRUE(ParseCommandLine({"cancel-admin", "0", "0", std::string(259, 't')}).ok);
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
  EXPECT_EQ(ResultMeaning(1), "local failure or no reply within 3 s");
  EXPECT_EQ(ResultMeaning(17), "server error code 17");
}

}  // namespace
}  // namespace kdl::host
