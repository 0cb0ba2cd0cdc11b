// The nine exports of libKelvaneDll, found at run time with dlopen/dlsym
// (LoadLibraryA/GetProcAddress on Windows) the
// way a host program that ships without the library loads it.
#pragma once

#include <string>

#include "client/KelvaneDll.h"

namespace kdl::host {

// Function pointers to the library's exports; all set after a good Load().
struct KelvaneApi {
  decltype(&::StartServer) StartServer = nullptr;
  decltype(&::StopServer) StopServer = nullptr;
  decltype(&::SendAskPack) SendAskPack = nullptr;
  decltype(&::GetListImageInfo) GetListImageInfo = nullptr;
  decltype(&::GetMapSnapInfo) GetMapSnapInfo = nullptr;
  decltype(&::GetSelectImageInfo) GetSelectImageInfo = nullptr;
  decltype(&::GetDiscoverInfo) GetDiscoverInfo = nullptr;
  decltype(&::GetClientInfo) GetClientInfo = nullptr;
  decltype(&::GetLastErrCode) GetLastErrCode = nullptr;

  // Opens the library at `path` and resolves every export by its plain name.
  // The library stays loaded for the rest of the process. On failure
  // `error` names the library or the missing export.
  bool Load(const std::string& path, std::string* error);
};

// The library to load: --lib, else $KELVANE_LIB, else the built library.
std::string ChooseLibraryPath(const std::string& fromOption);

}  // namespace kdl::host
