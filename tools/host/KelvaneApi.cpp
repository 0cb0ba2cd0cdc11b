#include "tools/host/KelvaneApi.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdlib>

#include "tools/cli/InstallPaths.h"

// The library's file name and its places relative to this program
// (tools/host/CMakeLists.txt): as installed and as built.
#ifndef KELVANE_LIB_FILE
#ifdef _WIN32
#define KELVANE_LIB_FILE "KelvaneDll.dll"
#else
#define KELVANE_LIB_FILE "libKelvaneDll.so.1"
#endif
#endif
#ifndef KELVANE_LIB_INSTALLED
#define KELVANE_LIB_INSTALLED "../lib/" KELVANE_LIB_FILE
#endif
#ifndef KELVANE_LIB_BUILT
#define KELVANE_LIB_BUILT KELVANE_LIB_FILE
#endif

namespace kdl::host {
namespace {

#ifdef _WIN32
using LibHandle = HMODULE;

LibHandle OpenLibrary(const std::string& path, std::string* why) {
  HMODULE lib = LoadLibraryA(path.c_str());
  if (!lib) *why = "error " + std::to_string(GetLastError());
  return lib;
}

void* FindExport(LibHandle lib, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(lib, name));
}
#else
using LibHandle = void*;

LibHandle OpenLibrary(const std::string& path, std::string* why) {
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* text = dlerror();
    *why = text ? text : "unknown error";
  }
  return lib;
}

void* FindExport(LibHandle lib, const char* name) {
  dlerror();
  return dlsym(lib, name);
}
#endif

template <class Fn>
bool Resolve(LibHandle lib, const char* name, Fn* out, std::string* error) {
  void* sym = FindExport(lib, name);
  if (!sym) {
    *error = std::string("the library has no export ") + name;
    return false;
  }
  *out = reinterpret_cast<Fn>(sym);
  return true;
}

}  // namespace

bool KelvaneApi::Load(const std::string& path, std::string* error) {
  // Never unloaded: the library's manager and log writer live until exit.
  std::string why;
  LibHandle lib = OpenLibrary(path, &why);
  if (!lib) {
    *error = "cannot load " + path + ": " + why;
    return false;
  }
  return Resolve(lib, "StartServer", &StartServer, error) &&
         Resolve(lib, "StopServer", &StopServer, error) &&
         Resolve(lib, "SendAskPack", &SendAskPack, error) &&
         Resolve(lib, "GetListImageInfo", &GetListImageInfo, error) &&
         Resolve(lib, "GetMapSnapInfo", &GetMapSnapInfo, error) &&
         Resolve(lib, "GetSelectImageInfo", &GetSelectImageInfo, error) &&
         Resolve(lib, "GetDiscoverInfo", &GetDiscoverInfo, error) &&
         Resolve(lib, "GetClientInfo", &GetClientInfo, error) &&
         Resolve(lib, "GetLastErrCode", &GetLastErrCode, error);
}

std::string ChooseLibraryPath(const std::string& fromOption) {
  if (!fromOption.empty()) return fromOption;
  const char* env = std::getenv("KELVANE_LIB");
  if (env && *env) return env;
  // Beside the program, as installed, as built; else the system's search
  // (kelvane's run path, the library path) by file name.
  const std::string found =
      cli::FindBesideProgram({KELVANE_LIB_FILE, KELVANE_LIB_INSTALLED, KELVANE_LIB_BUILT});
  return found.empty() ? KELVANE_LIB_FILE : found;
}

}  // namespace kdl::host
