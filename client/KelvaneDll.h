// Public interface of the KelvaneDll library: the nine exported functions and
// the records they hand to the host. A host is built against this header and
// reads the records in place.
#pragma once

#include <cstdint>
#include <list>
#include <map>

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

using ImageInfoList = std::list<_IN_IMAGE_INFO>;
using SnapInfoMap = std::map<uint32_t, _IN_SNAP_INFO>;

}  // namespace Kelvane

// Request types of SendAskPack.
enum : uint32_t {
  KELVANE_ASK_DISCOVER = 1,
  KELVANE_ASK_LOGIN = 2,
  KELVANE_ASK_IMAGE_LIST = 3,
  KELVANE_ASK_IMAGE_INFO = 4,
  KELVANE_ASK_CREATE_IMAGE = 5,
  KELVANE_ASK_SELECT_IMAGE = 6,
  KELVANE_ASK_SET_ADMIN = 7,
  KELVANE_ASK_CANCEL_ADMIN = 8,
  KELVANE_ASK_HEARTBEAT = 9,
};

// The host's callback for a closed TCP link.
typedef void (*KelvaneTcpClosedFn)();

extern "C" {
KELVANE_API bool StartServer(KelvaneTcpClosedFn onTcpClosed);
KELVANE_API void StopServer();
KELVANE_API int SendAskPack(uint32_t type, void* param);
KELVANE_API Kelvane::ImageInfoList& GetListImageInfo();
KELVANE_API Kelvane::SnapInfoMap& GetMapSnapInfo();
KELVANE_API Kelvane::_IN_SELECTIMAGE_INFO& GetSelectImageInfo();
KELVANE_API Kelvane::_IN_DISCOVER_INFO& GetDiscoverInfo();
KELVANE_API Kelvane::_IN_CLIENT_INFO& GetClientInfo();
KELVANE_API int GetLastErrCode();
}
