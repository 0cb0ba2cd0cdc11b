// A stand-in for libKelvaneDll with the same nine exports, for testing the
// host tool without a network: canned records, results scripted through the
// environment, and every request noted in a file with its parameters.
//
//   KELVANE_FAKE_CALLS=FILE        one line per SendAskPack call
//   KELVANE_FAKE_RESULTS=2=5,3=1   result per request type (default 0)
//   KELVANE_FAKE_CLOSE_AFTER=N     the close callback fires after call N
//   KELVANE_FAKE_CLOSE_DURING=N    call N finds the link closed: the callback
//                                  fires and the call returns 1
//   KELVANE_FAKE_START=0           StartServer fails
//   KELVANE_FAKE_TIMEOUT=N         call N logs a time-out line and returns 1
//   KELVANE_FAKE_SLOW=TYPE=MS      requests of TYPE take MS ms, then log a line
//   KELVANE_FAKE_FAIL=N:KIND,...   call N returns 1 as the library does when
//                                  KIND: close (the link closes under it),
//                                  late (its link was gone; the close is told
//                                  100 ms later), protocol (the library ends
//                                  the link after a bad Length), owed (a
//                                  time-out on a link that still owed a reply
//                                  of its kind: the library ends the link),
//                                  error (a local failure with an Error line)
// A result of 1 is logged as an Error line, as the library logs failures.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "client/KelvaneDll.h"
#include "client/LogTexts.h"

namespace {

KelvaneTcpClosedFn g_onClosed = nullptr;
int g_calls = 0;
Kelvane::ImageInfoList g_list;
Kelvane::SnapInfoMap g_map;
Kelvane::_IN_SELECTIMAGE_INFO g_select;
Kelvane::_IN_DISCOVER_INFO g_discover;
Kelvane::_IN_CLIENT_INFO g_client;
int g_lastErr = 0;

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

int ScriptedResult(uint32_t type) {
  const char* results = std::getenv("KELVANE_FAKE_RESULTS");
  if (!results) return 0;
  std::string s = results;
  std::string key = std::to_string(type) + "=";
  for (size_t pos = 0; pos < s.size();) {
    size_t comma = s.find(',', pos);
    std::string item = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    if (item.rfind(key, 0) == 0) return std::atoi(item.c_str() + key.size());
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return 0;
}

void Note(const std::string& line) {
  const char* path = std::getenv("KELVANE_FAKE_CALLS");
  if (!path) return;
  if (std::FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

// A console line as the library prints it, on stdout.
void Console(const char* level, const std::string& text) {
  std::printf("[00:00:00.000]|[0001]|[%s]|%s\n", level, text.c_str());
  std::fflush(stdout);
}

// The close arrives on another thread, as a transport's would.
void FireClose() {
  if (!g_onClosed) return;
  std::thread t(g_onClosed);
  t.join();
}

std::thread g_lateClose;

// The failure KELVANE_FAKE_FAIL scripts for call `call`, or "".
std::string ScriptedFailure(int call) {
  const char* env = std::getenv("KELVANE_FAKE_FAIL");
  const std::string key = "," + std::to_string(call) + ":";
  const std::string list = "," + std::string(env ? env : "") + ",";
  const size_t at = list.find(key);
  if (at == std::string::npos) return "";
  const size_t from = at + key.size();
  return list.substr(from, list.find(',', from) - from);
}

// The close callback fires `ms` after the call returned, on another thread.
void CloseLater(int ms) {
  if (g_lateClose.joinable()) g_lateClose.join();
  g_lateClose = std::thread([ms] {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (g_onClosed) g_onClosed();
  });
}

int Fail(const std::string& kind) {
  if (kind == "close") {
    FireClose();
  } else if (kind == "late") {
    CloseLater(100);
  } else if (kind == "protocol") {
    char line[160];
    std::snprintf(line, sizeof line, kdl::logtext::kTcpErrProtocol, 1u, "10.77.0.1", 8000);
    Console("Error", line);
    std::snprintf(line, sizeof line, kdl::logtext::kTcpClosed, 1u, 1u);
    Console("Info", line);
    FireClose();
  } else if (kind == "owed") {
    Console("Error", kdl::logtext::kWaitImageList);
    char line[160];
    std::snprintf(line, sizeof line, kdl::logtext::kOwedLinkClosed, 0x80020006u, 1u);
    Console("Warning", line);
    CloseLater(20);  // the library reports it on a transport thread, after the return
  } else {
    Console("Error", "fake local failure");
  }
  return 1;
}

std::string Describe(uint32_t type, const void* param) {
  std::string s = std::to_string(type);
  const auto* p = static_cast<const unsigned char*>(param);
  switch (type) {
    case 2:  // at most 32 bytes of name
      s += " name=" + std::string(reinterpret_cast<const char*>(p), strnlen((const char*)p, 32));
      break;
    case 5: {
      uint32_t p1, p2;
      std::memcpy(&p1, p + 64, 4);
      std::memcpy(&p2, p + 68, 4);
      s += " name=" + std::string((const char*)p, strnlen((const char*)p, 64)) +
           " p1=" + std::to_string(p1) + " p2=" + std::to_string(p2);
      break;
    }
    case 6:
    case 7: {
      uint32_t v;
      std::memcpy(&v, p, 4);
      s += " value=" + std::to_string(v);
      break;
    }
    case 8:
      s += " flags=" + std::to_string(p[0]) + "," + std::to_string(p[1]) +
           " text=" + std::string((const char*)p + 2, strnlen((const char*)p + 2, 260));
      break;
    default:
      break;
  }
  return s;
}

void FillRecords() {
  g_discover = {8000, 0x0A4D0001};
  g_client = {3, 1, 7};
  g_list.clear();
  Kelvane::_IN_IMAGE_INFO a{}, b{};
  a.ServerPort = b.ServerPort = 8000;
  a.ServerIP = b.ServerIP = 0x0A4D0001;
  a.ImageId = 1;
  a.Param1 = 1;
  std::strcpy(a.Name, "base");
  b.ImageId = 2;
  b.Param1 = 2;
  std::strcpy(b.Name, "caf\xE9");  // single-byte text, not UTF-8
  g_list.push_back(a);
  g_list.push_back(b);
  g_map.clear();
  for (uint32_t id : {7u, 3u}) {
    Kelvane::_IN_SNAP_INFO s{};
    s.SnapshotId = id;
    s.ImageId = 2;
    s.ImageParam3 = 9;
    s.Param2 = 1;
    s.Param6 = 5;
    std::strcpy(s.Text, id == 3 ? "three" : "seven");
    s.Time = {2026, 3, 0, 4, 5, 6, 7, 0};
    g_map[id] = s;
  }
  g_select.bSucc = true;
  std::strcpy(g_select.Path, "/images/base.img");
}

}  // namespace

extern "C" {

KELVANE_API bool StartServer(KelvaneTcpClosedFn onTcpClosed) {
  // Like the real library, its console lines go to stdout.
  Console("Info", "fake library started");
  g_onClosed = onTcpClosed;
  return EnvInt("KELVANE_FAKE_START", 1) != 0;
}

KELVANE_API void StopServer() {
  if (g_lateClose.joinable()) g_lateClose.join();
  Note("stop");
}

KELVANE_API int SendAskPack(uint32_t type, void* param) {
  ++g_calls;
  Note(Describe(type, param));
  const std::string failure = ScriptedFailure(g_calls);
  if (!failure.empty()) return Fail(failure);
  if (g_calls == EnvInt("KELVANE_FAKE_CLOSE_DURING", -1)) {
    FireClose();
    return 1;
  }
  if (g_calls == EnvInt("KELVANE_FAKE_TIMEOUT", -1)) {
    Console("Error", "Wait Query Image List Pack Overtime.");
    return 1;
  }
  const std::string slow = std::to_string(type) + "=";
  const char* slowEnv = std::getenv("KELVANE_FAKE_SLOW");
  if (slowEnv && slow == std::string(slowEnv).substr(0, slow.size())) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(slowEnv + slow.size())));
    Console("Info", "fake reply to " + std::to_string(type));
  }
  int r = ScriptedResult(type);
  if (r == 1) Console("Error", "fake failure of request " + std::to_string(type));
  if (type >= 2 && type <= 8) g_lastErr = r;
  if (r == 0) FillRecords();
  if (g_calls == EnvInt("KELVANE_FAKE_CLOSE_AFTER", -1)) FireClose();
  return r;
}

KELVANE_API Kelvane::ImageInfoList& GetListImageInfo() { return g_list; }
KELVANE_API Kelvane::SnapInfoMap& GetMapSnapInfo() { return g_map; }
KELVANE_API Kelvane::_IN_SELECTIMAGE_INFO& GetSelectImageInfo() { return g_select; }
KELVANE_API Kelvane::_IN_DISCOVER_INFO& GetDiscoverInfo() { return g_discover; }
KELVANE_API Kelvane::_IN_CLIENT_INFO& GetClientInfo() { return g_client; }
KELVANE_API int GetLastErrCode() { return g_lastErr; }
}
