// The nine exported functions. Each forwards to the process-wide manager,
// which lives in static storage and so always exists. No exception leaves an
// export: one that reaches it (out of memory) becomes the export's failure
// value.
#include "client/KelvaneDll.h"
#include "client/NetManager.h"

extern "C" {

KELVANE_API bool KELVANE_CALL StartServer(KelvaneTcpClosedFn onTcpClosed) {
  try {
    return GetNetManager()->StartServer(onTcpClosed);
  } catch (...) {
    return false;
  }
}

KELVANE_API void KELVANE_CALL StopServer() {
  try {
    GetNetManager()->StopServer();
  } catch (...) {
  }
}

KELVANE_API int KELVANE_CALL SendAskPack(uint32_t type, void* param) {
  try {
    return GetNetManager()->SendAskPack(type, param);
  } catch (...) {
    return 1;
  }
}

KELVANE_API Kelvane::ImageInfoList& KELVANE_CALL GetListImageInfo() {
  return GetNetManager()->GetListImageInfo();
}

KELVANE_API Kelvane::SnapInfoMap& KELVANE_CALL GetMapSnapInfo() {
  return GetNetManager()->GetMapSnapInfo();
}

KELVANE_API Kelvane::_IN_SELECTIMAGE_INFO& KELVANE_CALL GetSelectImageInfo() {
  return GetNetManager()->GetSelectImageInfo();
}

KELVANE_API Kelvane::_IN_DISCOVER_INFO& KELVANE_CALL GetDiscoverInfo() {
  return GetNetManager()->GetDiscoverInfo();
}

KELVANE_API Kelvane::_IN_CLIENT_INFO& KELVANE_CALL GetClientInfo() {
  return GetNetManager()->GetClientInfo();
}

KELVANE_API int KELVANE_CALL GetLastErrCode() { return GetNetManager()->GetLastErrCode(); }

}  // extern "C"
