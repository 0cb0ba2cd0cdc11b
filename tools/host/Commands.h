// The host tool's commands, one row each: its help, the request it sends and
// what that request needs first, whether it may be sent twice, how its
// arguments are read, how its parameter is built and how its reply is shown.
// A new command is a new row here (and its name in CommandId).
#pragma once

#include <cstdint>
#include <string>

#include "client/KelvaneDll.h"
#include "tools/host/HostCli.h"
#include "tools/host/KelvaneApi.h"
#include "tools/host/Render.h"

namespace CLI {
class App;
}

namespace kdl::host {

// What a command's request needs done before it: nothing (discovery), the
// server found (login), or a login (every other request).
enum class Needs { kNothing, kServer, kLogin };

// Room for the parameter of any request, filled by a row's `param`.
struct AskParams {
  char toolName[kMaxToolName + 1];
  KelvaneCreateImageParam create;
  KelvaneCancelAdminParam cancel;
  uint32_t number;
};

struct CommandRow {
  CommandId id;
  const char* name;     // as typed: "images", "set-admin", ...
  const char* summary;  // one line in the list of commands
  const char* detail;   // the rest of the command's own help
  bool inShell;         // offered inside "shell" too
  uint32_t askType;     // its request (KELVANE_ASK_*); 0 for none (shell, help)
  Needs needs;
  // Changes nothing on the server (or nothing more when sent twice): when
  // its link closed under it (the server or the library closed it), it is
  // sent once more after a new login. Requests that act on the server are
  // never sent twice. Only requests on the TCP link (needs != kNothing).
  bool repeatable;
  // Declares the command's arguments and options on its parser, read into
  // `cmd`; a bad value is refused with CLI::ValidationError. Null: none.
  void (*addArgs)(CLI::App* sub, Command* cmd);
  // Builds the request's parameter in `space` and returns what SendAskPack
  // gets. Null: no parameter.
  void* (*param)(const Command& cmd, const HostOptions& options, AskParams* space);
  // The JSON fields (after "result") and readable text of what the reply
  // stored. Null: the result alone.
  void (*render)(const KelvaneApi& api, const Command& cmd, int result, Json* data,
                 std::string* text);
};

// The rows, in the order of the help's list: for (const CommandRow& c : Commands()).
struct CommandList {
  const CommandRow* first;
  const CommandRow* last;
  const CommandRow* begin() const { return first; }
  const CommandRow* end() const { return last; }
};
CommandList Commands();

// The row of `name`, or null.
const CommandRow* FindCommand(const std::string& name);
// The row of `id` (every id has one).
const CommandRow& RowOf(CommandId id);

}  // namespace kdl::host
