// Public interface of the KelvaneDll library: the nine exported functions and
// the records they hand to the host. A host is built against this header and
// reads the records in place.
#pragma once

#include <cstdint>
#include <list>
#include <map>

// The Windows DLL comes in two flavours, one per C++ standard library of its
// hosts, because GetListImageInfo and GetMapSnapInfo hand the host a list
// and a map that it reads with its own container code: "msvc" for hosts
// built with Visual C++ (clang-cl included), "gnu" for hosts built with
// MinGW-w64 (libstdc++). The installed copy of this header names its
// flavour on the next line, so that a host built with the other compiler
// stops here instead of reading containers of another library.
// KELVANE_HOST_STL_MARK
#if defined(KELVANE_HOST_STL_MSVC) && !defined(_MSC_VER)
#error "KelvaneDll.h: this header and its KelvaneDll.dll (folders msvc-x64, msvc-x86) are for hosts built with Visual C++: their list and map are laid out as the Microsoft C++ standard library lays them out. A host built with MinGW-w64 takes the DLL and header of mingw-x64 or mingw-x86."
#endif
#if defined(KELVANE_HOST_STL_GNU) && defined(_MSC_VER)
#error "KelvaneDll.h: this header and its KelvaneDll.dll (folders mingw-x64, mingw-x86) are for hosts built with MinGW-w64: their list and map are those of libstdc++. A host built with Visual C++ takes the DLL and header of msvc-x64 or msvc-x86."
#endif

// The msvc flavour lays its list and map out as a Visual C++ release build
// does (_ITERATOR_DEBUG_LEVEL 0). A debug build of the host (level 1 or 2,
// the default of the Debug configuration) lays its containers out
// differently and would misread both, so it stops here. <list> above has
// defined the level. KELVANE_ACCEPT_ITERATOR_DEBUG_LEVEL lets such a host
// through when it never calls GetListImageInfo or GetMapSnapInfo.
#if defined(_MSC_VER) && defined(_ITERATOR_DEBUG_LEVEL) && \
    !defined(KELVANE_ACCEPT_ITERATOR_DEBUG_LEVEL)
#if _ITERATOR_DEBUG_LEVEL != 0
#error "KelvaneDll.h: this host is compiled with _ITERATOR_DEBUG_LEVEL other than 0 (a Debug configuration), so its std::list and std::map are laid out differently from the list and map that KelvaneDll.dll hands out through GetListImageInfo and GetMapSnapInfo: reading them would crash or give garbage. Build and link the host in its Release configuration (_ITERATOR_DEBUG_LEVEL 0), or define KELVANE_ACCEPT_ITERATOR_DEBUG_LEVEL before including KelvaneDll.h if the host never calls those two functions."
#endif
#endif

#if defined(_WIN32)
#if defined(KELVANE_BUILDING_DLL)
#define KELVANE_API __declspec(dllexport)
#elif defined(KELVANE_STATIC)
#define KELVANE_API  // linked in from the static library, as the tests do
#else
#define KELVANE_API __declspec(dllimport)
#endif
#else
#define KELVANE_API __attribute__((visibility("default")))
#endif

// The exports and the host's callback use the C calling convention, also in
// a 32-bit host whose compiler defaults to another one.
#if defined(_WIN32)
#define KELVANE_CALL __cdecl
#else
#define KELVANE_CALL
#endif

namespace Kelvane {

// Windows SYSTEMTIME layout: eight unsigned 16-bit words.
struct KSYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};

// Filled from the login reply.
struct _IN_CLIENT_INFO {
  int32_t ClientType;
  int32_t ManagerEnable;
  int32_t ExtInfo;
};

// Filled from the discovery reply.
struct _IN_DISCOVER_INFO {
  uint16_t ServerPort;  // TCP port of the server's tool service
  uint32_t ServerIP;    // first octet in the most significant byte
};

// Filled from the select-image reply.
struct _IN_SELECTIMAGE_INFO {
  bool bSucc;
  char Path[260];
};

// One entry of the image list.
struct _IN_IMAGE_INFO {
  uint16_t ServerPort;
  uint32_t ServerIP;
  uint32_t ImageId;
  uint32_t Param1;
  char Name[64];
};

// One snapshot, keyed by SnapshotId in the snapshot map.
struct _IN_SNAP_INFO {
  uint32_t ImageId;
  uint32_t ImageParam3;
  uint32_t SnapshotId;
  uint32_t Param2;
  uint32_t Param3;
  uint32_t Param4;
  uint32_t Param5;
  uint32_t Param6;
  char Text[260];
  KSYSTEMTIME Time;  // wDayOfWeek and wMilliseconds are not filled
};

}  // namespace Kelvane

#if defined(KELVANE_MSVC_LAYOUT)
// Only while the msvc flavour itself is built (by MinGW-w64): the library's
// list and map in the layout of the Visual C++ host's std::list and
// std::map (client/MsvcLayout.h).
namespace kdl {
namespace msvc {
class ImageList;
class SnapMap;
}  // namespace msvc
}  // namespace kdl
#endif

namespace Kelvane {

#if defined(KELVANE_MSVC_LAYOUT)
using ImageInfoList = kdl::msvc::ImageList;
using SnapInfoMap = kdl::msvc::SnapMap;
#else
// The image list, in the order of the reply's entries.
using ImageInfoList = std::list<_IN_IMAGE_INFO>;
// The snapshot map, keyed and ordered by SnapshotId. The key is unsigned
// long on every platform, as hosts declare it (32 bits on Windows, 64 on
// Linux): a host built against a different key type reads every entry at the
// wrong offset.
using SnapInfoMap = std::map<unsigned long, _IN_SNAP_INFO>;
#endif

}  // namespace Kelvane

// Request types of SendAskPack, with what `param` points to. Integers in
// parameters are little-endian; offsets are in bytes from `param`.
enum : uint32_t {
  // Broadcasts a discovery to 255.255.255.255, port 800, and stores the first
  // answering server in GetDiscoverInfo(). `param` is ignored. 0 when a
  // server answered, 1 otherwise.
  KELVANE_ASK_DISCOVER = 1,
  // Connects to the discovered server (if not connected) and logs in; the
  // reply fills GetClientInfo(). `param`: the tool name, a NUL-terminated
  // single-byte text of which at most the first 32 bytes are sent. A login
  // that connects first may take up to 6000 ms: at most 3000 ms for the
  // connection, then the 3000 ms reply wait.
  KELVANE_ASK_LOGIN = 2,
  // Fills GetListImageInfo(). `param` is ignored.
  KELVANE_ASK_IMAGE_LIST = 3,
  // Fills GetMapSnapInfo() with the snapshots of every image. `param` is
  // ignored.
  KELVANE_ASK_IMAGE_INFO = 4,
  // Creates an image. `param`: KelvaneCreateImageParam (72 bytes: the name at
  // 0, Param1 at 64, which must not be 0, Param2 at 68). Only the result is
  // stored.
  KELVANE_ASK_CREATE_IMAGE = 5,
  // Selects an image; the reply fills GetSelectImageInfo(). `param`: the
  // unsigned 32-bit image identifier.
  KELVANE_ASK_SELECT_IMAGE = 6,
  // Switches a client into administrator mode. `param`: an unsigned 32-bit
  // value that the server reads as the client. Only the result is stored.
  KELVANE_ASK_SET_ADMIN = 7,
  // Switches a client out of administrator mode. `param`:
  // KelvaneCancelAdminParam (two flag bytes at 0 and 1, then a NUL-terminated
  // text of up to 260 bytes at 2). Only the result is stored.
  KELVANE_ASK_CANCEL_ADMIN = 8,
  // Sends a keep-alive on the TCP link and does not wait. `param` is
  // ignored. 0 when sent, 1 otherwise (no link).
  KELVANE_ASK_HEARTBEAT = 9,
};

// Layout of the parameter of KELVANE_ASK_CREATE_IMAGE.
struct KelvaneCreateImageParam {
  char Name[64];    // NUL-terminated; at most 63 characters are sent
  uint32_t Param1;  // must not be 0
  uint32_t Param2;
};

// Layout of the parameter of KELVANE_ASK_CANCEL_ADMIN.
struct KelvaneCancelAdminParam {
  uint8_t Flag1;    // sent widened to 32 bits
  uint8_t Flag2;    // sent widened to 32 bits
  char Text[260];   // NUL-terminated
};

static_assert(sizeof(KelvaneCreateImageParam) == 72, "create-image parameter layout");
static_assert(sizeof(KelvaneCancelAdminParam) == 262, "cancel-administrator parameter layout");

// The host's callback for a closed TCP link. It runs on a transport thread,
// never on a thread inside SendAskPack on the library's behalf, when the
// server closes the link, the link fails, or the library ended it after a
// time-out (see below); always after the library has forgotten the link: a
// login from inside the callback connects again. A host may thus take in
// the callback a lock of its own that it holds around SendAskPack (not one
// held around StopServer, which waits for the transport threads). A link
// that StopServer releases before its close is reported ends unreported.
// The callback may call every export, StopServer and StartServer included.
typedef void(KELVANE_CALL* KelvaneTcpClosedFn)();

// Threads and lifetimes, for every export below:
//  - One request at a time: concurrent SendAskPack calls are served one
//    after the other. Each request blocks its calling thread until its reply
//    is stored, 3000 ms pass, the link closes or StopServer is called (a
//    login that must connect first: up to 3000 ms more for the connection).
//  - Exactly one reply changes the results per request: the first reply of
//    the type the request awaits that is not owed to an earlier request.
//    The server answers the requests of a link in order and a reply carries
//    no request number, so a request that times out on the TCP link leaves
//    the link owing its reply, which is dropped when it comes. A request
//    that was sent while its link still owed a reply of its kind and times
//    out too cannot tell the replies apart: the library ends the link, and
//    the next request needs a new login (a login may come before the close
//    callback, which follows on a transport thread).
//    Replies that come late, twice or unrequested are logged and dropped.
//  - The getters return references to the library's own records, list and
//    map, without copying or locking. They are stable until the next request
//    of the kind that fills them, or StopServer (which empties the list and
//    the map and keeps the records). Read them after the request returned,
//    on the thread that made it or one ordered after it.
//  - The list and the map are standard-library containers handed out by
//    reference: the host and the library must use the same C++ standard
//    library; on Windows, take the DLL of the host's compiler (see the top
//    of this header). A host may change them (insert, erase); the library
//    replaces them whole at the next reply of the kind, and StopServer
//    empties them.
//  - Results: 0 success, 1 any local failure, time-out, closed link or stop,
//    any other value the server's result code.
extern "C" {
// Starts the network service: picks the local IPv4 address, starts the
// transports and remembers `onTcpClosed` (may be null). True when started or
// already started (the first callback stays). False when no local address
// was found, the reply event could not be created, or StopServer is still
// running on the calling transport thread.
KELVANE_API bool KELVANE_CALL StartServer(KelvaneTcpClosedFn onTcpClosed);
// Stops the service: ends a waiting request at once (it returns 1), closes
// the links, stops the transport threads and empties the list and the map.
// Safe to call when not started, twice, or from the close callback (then it
// returns without waiting for the transport threads).
KELVANE_API void KELVANE_CALL StopServer();
// Runs request `type` (KELVANE_ASK_*) with `param` and returns its result:
// 1 when not started, for an unknown type or a missing parameter.
KELVANE_API int KELVANE_CALL SendAskPack(uint32_t type, void* param);
// The five getters hand the host C++ records under C linkage on purpose.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
// The image list of the last image-list request.
KELVANE_API Kelvane::ImageInfoList& KELVANE_CALL GetListImageInfo();
// The snapshot map of the last image-information request.
KELVANE_API Kelvane::SnapInfoMap& KELVANE_CALL GetMapSnapInfo();
// The record of the last select-image reply.
KELVANE_API Kelvane::_IN_SELECTIMAGE_INFO& KELVANE_CALL GetSelectImageInfo();
// The server found by the last discovery.
KELVANE_API Kelvane::_IN_DISCOVER_INFO& KELVANE_CALL GetDiscoverInfo();
// The numbers of the last login reply.
KELVANE_API Kelvane::_IN_CLIENT_INFO& KELVANE_CALL GetClientInfo();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
// The result of the last request of types 2 to 8, however it ended: the
// server's code, or 1 for a local failure (not started, no parameter, no
// link, a refused connect), a time-out or a stop. 1 before the first.
KELVANE_API int KELVANE_CALL GetLastErrCode();
}

// The host reads the five records in place, so their layout is the same for
// every host and word size (32-bit and 64-bit): naturally aligned fields, no
// pointer or size_t among them. A host compiled with other packing fails here.
static_assert(sizeof(Kelvane::_IN_CLIENT_INFO) == 12, "record layout");
static_assert(sizeof(Kelvane::_IN_DISCOVER_INFO) == 8, "record layout");
static_assert(sizeof(Kelvane::_IN_SELECTIMAGE_INFO) == 261, "record layout");
static_assert(sizeof(Kelvane::_IN_IMAGE_INFO) == 80, "record layout");
static_assert(sizeof(Kelvane::_IN_SNAP_INFO) == 308, "record layout");
