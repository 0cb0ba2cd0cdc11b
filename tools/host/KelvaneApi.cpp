#include "tools/host/KelvaneApi.h"

#include <dlfcn.h>

#include <cstdlib>

#ifndef KELVANE_DEFAULT_LIB
#define KELVANE_DEFAULT_LIB "libKelvaneDll.so"
#endif

namespace kelvane_host {
namespace {

template <class Fn>
bool Resolve(void* lib, const char* name, Fn* out, std::string* error) {
  dlerror();
  void* sym = dlsym(lib, name);
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
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* why = dlerror();
    *error = "cannot load " + path + ": " + (why ? why : "unknown error");
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
  return KELVANE_DEFAULT_LIB;
}

}  // namespace kelvane_host
