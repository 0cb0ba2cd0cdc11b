#include "tools/host/Commands.h"

#include "tools/cli/ToolArgs.h"
#include "util/TerminalText.h"
#include "util/Text.h"

namespace kdl::host {
namespace {

using kdl::cli::AddNumber;
using kdl::cli::AddText;

// ---- arguments -----------------------------------------------------------------

void CreateArgs(CLI::App* sub, Command* cmd) {
  AddText(sub, "NAME", &cmd->imageName,
          "The image's name, 1 to " + std::to_string(kMaxImageName) + " bytes", kMaxImageName,
          "the create parameter's name field")
      ->required()
      ->check([](const std::string& s) { return s.empty() ? "must not be empty" : ""; });
  // The library sends no create with Param1 0: refused before any traffic.
  kdl::cli::AddNumberTo(
      sub, "PARAM1",
      [cmd](uint32_t v) {
        if (v == 0) throw CLI::ValidationError("PARAM1", "must not be 0 (the library sends no "
                                                          "create with Param1 0)");
        cmd->param1 = v;
      },
      "The image's first parameter, 1 or more", UINT32_MAX)
      ->required();
  AddNumber(sub, "PARAM2", &cmd->param2, "The image's second parameter (default 0)");
}

void SelectArgs(CLI::App* sub, Command* cmd) {
  AddNumber(sub, "IMAGE_ID", &cmd->number, "The image's identifier")->required();
}

void SetAdminArgs(CLI::App* sub, Command* cmd) {
  AddNumber(sub, "VALUE", &cmd->number, "The client, as the server numbers it")->required();
}

void CancelAdminArgs(CLI::App* sub, Command* cmd) {
  AddNumber(sub, "FLAG1", &cmd->flag1, "First flag byte, 0 to 255")->required();
  AddNumber(sub, "FLAG2", &cmd->flag2, "Second flag byte, 0 to 255")->required();
  AddText(sub, "TEXT", &cmd->text,
          "The text sent along, at most " + std::to_string(kMaxCancelText) + " bytes",
          kMaxCancelText, "the cancel parameter's text field")
      ->required();
}

void ShellArgs(CLI::App* sub, Command* cmd) {
  sub->add_flag("--stop-on-error", cmd->stopOnError,
                "Stop at the first line that fails (the exit status is then that line's)");
}

void HelpArgs(CLI::App* sub, Command* cmd) {
  sub->add_option("COMMAND", cmd->topic, "The command to explain");
}

// ---- parameters ------------------------------------------------------------------

void* LoginParam(const Command&, const HostOptions& options, AskParams* space) {
  kdl::util::CopyTerminated(space->toolName, options.name);
  return space->toolName;
}

void* CreateParam(const Command& cmd, const HostOptions&, AskParams* space) {
  space->create = KelvaneCreateImageParam{};
  kdl::util::CopyTerminated(space->create.Name, cmd.imageName);
  space->create.Param1 = cmd.param1;
  space->create.Param2 = cmd.param2;
  return &space->create;
}

void* NumberParam(const Command& cmd, const HostOptions&, AskParams* space) {
  space->number = cmd.number;
  return &space->number;
}

void* CancelAdminParam(const Command& cmd, const HostOptions&, AskParams* space) {
  space->cancel = KelvaneCancelAdminParam{};
  space->cancel.Flag1 = cmd.flag1;
  space->cancel.Flag2 = cmd.flag2;
  kdl::util::CopyTerminated(space->cancel.Text, cmd.text);
  return &space->cancel;
}

// ---- replies ---------------------------------------------------------------------

void DiscoverReply(const KelvaneApi& api, const Command&, int result, Json* data,
                   std::string* text) {
  *data = DiscoverJson(result, api.GetDiscoverInfo());
  *text = DiscoverText(api.GetDiscoverInfo());
}

void LoginReply(const KelvaneApi& api, const Command&, int result, Json* data,
                std::string* text) {
  *data = LoginJson(result, api.GetClientInfo());
  *text = LoginText(api.GetClientInfo());
}

void ImagesReply(const KelvaneApi& api, const Command&, int result, Json* data,
                 std::string* text) {
  *data = ImagesJson(result, api.GetListImageInfo());
  *text = ImagesText(api.GetListImageInfo());
}

void SnapshotsReply(const KelvaneApi& api, const Command&, int result, Json* data,
                    std::string* text) {
  *data = SnapshotsJson(result, api.GetMapSnapInfo());
  *text = SnapshotsText(api.GetMapSnapInfo());
}

void SelectReply(const KelvaneApi& api, const Command&, int result, Json* data,
                 std::string* text) {
  *data = SelectJson(result, api.GetSelectImageInfo());
  *text = SelectText(api.GetSelectImageInfo());
}

void CreateReply(const KelvaneApi&, const Command& cmd, int result, Json* data,
                 std::string* text) {
  *data = ResultJson(result);
  if (result == 0)
    *text = "created image \"" + kdl::util::EscapeForTerminal(cmd.imageName) + "\"\n";
}

// ---- the rows --------------------------------------------------------------------

const CommandRow kRows[] = {
    {CommandId::kDiscover, "discover", "Find the server: its address and TCP port (request 1)",
     "Broadcasts the discovery request to 255.255.255.255, port 800.", true,
     KELVANE_ASK_DISCOVER, Needs::kNothing, false, nullptr, nullptr, DiscoverReply},
    {CommandId::kLogin, "login", "Log in: client type, manager flag, extra value (request 2)",
     "Discovers the server and logs in with the tool name of --name.", true, KELVANE_ASK_LOGIN,
     Needs::kServer, true, nullptr, LoginParam, LoginReply},
    {CommandId::kImages, "images", "List the server's disk images (request 3)", "", true,
     KELVANE_ASK_IMAGE_LIST, Needs::kLogin, true, nullptr, nullptr, ImagesReply},
    {CommandId::kSnapshots, "snapshots",
     "List the snapshots of every image, by snapshot id (request 4)", "", true,
     KELVANE_ASK_IMAGE_INFO, Needs::kLogin, true, nullptr, nullptr, SnapshotsReply},
    {CommandId::kCreate, "create", "Create an image (request 5)",
     "PARAM1 must not be 0 (the library refuses to send it otherwise).",
     true, KELVANE_ASK_CREATE_IMAGE, Needs::kLogin, false, CreateArgs, CreateParam,
     CreateReply},
    {CommandId::kSelect, "select", "Select an image: whether it worked, its path (request 6)",
     "", true, KELVANE_ASK_SELECT_IMAGE, Needs::kLogin, false, SelectArgs,
     NumberParam, SelectReply},
    {CommandId::kSetAdmin, "set-admin", "Switch a client into administrator mode (request 7)",
     "VALUE is the number the server reads as the client.", true,
     KELVANE_ASK_SET_ADMIN, Needs::kLogin, false, SetAdminArgs, NumberParam, nullptr},
    {CommandId::kCancelAdmin, "cancel-admin",
     "Switch a client out of administrator mode (request 8)", "", true,
     KELVANE_ASK_CANCEL_ADMIN, Needs::kLogin, false, CancelAdminArgs, CancelAdminParam,
     nullptr},
    {CommandId::kHeartbeat, "heartbeat", "Send a keep-alive; no reply is awaited (request 9)",
     "", true, KELVANE_ASK_HEARTBEAT, Needs::kLogin, true, nullptr, nullptr, nullptr},
    {CommandId::kShell, "shell", "Run commands read from standard input over one session",
     "One command per line, with its arguments as on the command line (double quotes group "
     "words). Discovery and login happen once, and again after the link closed. Blank lines "
     "and lines starting with # are skipped; \"quit\" ends. With --json, one JSON object per "
     "line, with the line in \"command\". The exit status is the worst of all lines.",
     false, 0, Needs::kNothing, false, ShellArgs, nullptr, nullptr},
    {CommandId::kHelp, "help", "Show the help of the tool or of a command", "", true, 0,
     Needs::kNothing, false, HelpArgs, nullptr, nullptr},
};

}  // namespace

CommandList Commands() { return {std::begin(kRows), std::end(kRows)}; }

const CommandRow* FindCommand(const std::string& name) {
  for (const CommandRow& c : kRows)
    if (name == c.name) return &c;
  return nullptr;
}

const CommandRow& RowOf(CommandId id) {
  for (const CommandRow& c : kRows)
    if (c.id == id) return c;
  return kRows[0];  // not reached: every id has its row
}

}  // namespace kdl::host
