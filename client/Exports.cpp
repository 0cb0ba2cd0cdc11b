// The nine exported functions. Each obtains the process-wide manager and
// forwards to it. Should the manager ever fail to be allocated, every export
// still answers: StartServer false, SendAskPack and GetLastErrCode 1, and the
// getters a static empty record or container. No exception leaves an export:
// one that reaches it (no memory) becomes the export's failure value.
#include "client/KelvaneDll.h"
#include "client/NetManager.h"

namespace {

// What the getters hand out when there is no manager.
Kelvane::ImageInfoList g_EmptyImageList;
Kelvane::SnapInfoMap g_EmptySnapMap;
Kelvane::_IN_SELECTIMAGE_INFO g_EmptySelectImage = {};
Kelvane::_IN_DISCOVER_INFO g_EmptyDiscover = {};
Kelvane::_IN_CLIENT_INFO g_EmptyClient = {};

}  // namespace

extern "C" {

KELVANE_API bool KELVANE_CALL StartServer(KelvaneTcpClosedFn onTcpClosed) {
  try {
    CNetManager* manager = GetNetManager();
    return manager ? manager->StartServer(onTcpClosed) : false;
  } catch (...) {
    return false;
  }
}

KELVANE_API void KELVANE_CALL StopServer() {
  try {
    CNetManager* manager = GetNetManager();
    if (manager) manager->StopServer();
  } catch (...) {
  }
}

KELVANE_API int KELVANE_CALL SendAskPack(uint32_t type, void* param) {
  try {
    CNetManager* manager = GetNetManager();
    return manager ? manager->SendAskPack(type, param) : 1;
  } catch (...) {
    return 1;
  }
}

KELVANE_API Kelvane::ImageInfoList& KELVANE_CALL GetListImageInfo() {
  CNetManager* manager = GetNetManager();
  return manager ? manager->GetListImageInfo() : g_EmptyImageList;
}

KELVANE_API Kelvane::SnapInfoMap& KELVANE_CALL GetMapSnapInfo() {
  CNetManager* manager = GetNetManager();
  return manager ? manager->GetMapSnapInfo() : g_EmptySnapMap;
}

KELVANE_API Kelvane::_IN_SELECTIMAGE_INFO& KELVANE_CALL GetSelectImageInfo() {
  CNetManager* manager = GetNetManager();
  return manager ? manager->GetSelectImageInfo() : g_EmptySelectImage;
}

KELVANE_API Kelvane::_IN_DISCOVER_INFO& KELVANE_CALL GetDiscoverInfo() {
  CNetManager* manager = GetNetManager();
  return manager ? manager->GetDiscoverInfo() : g_EmptyDiscover;
}

KELVANE_API Kelvane::_IN_CLIENT_INFO& KELVANE_CALL GetClientInfo() {
  CNetManager* manager = GetNetManager();
  return manager ? manager->GetClientInfo() : g_EmptyClient;
}

KELVANE_API int KELVANE_CALL GetLastErrCode() {
  CNetManager* manager = GetNetManager();
  return manager ? manager->GetLastErrCode() : 1;
}

}  // extern "C"
