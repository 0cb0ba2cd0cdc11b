// Linked against the installed library: the nine exports are bound when it
// loads. Calls the ones that need no server and prints the file the library
// was loaded from, which the caller compares with the install prefix.
#include <KelvaneDll.h>
#include <dlfcn.h>

#include <cstdio>

int main() {
  const void* exports[] = {
      reinterpret_cast<const void*>(&StartServer), reinterpret_cast<const void*>(&StopServer),
      reinterpret_cast<const void*>(&SendAskPack), reinterpret_cast<const void*>(&GetListImageInfo),
      reinterpret_cast<const void*>(&GetMapSnapInfo),
      reinterpret_cast<const void*>(&GetSelectImageInfo),
      reinterpret_cast<const void*>(&GetDiscoverInfo), reinterpret_cast<const void*>(&GetClientInfo),
      reinterpret_cast<const void*>(&GetLastErrCode)};
  for (const void* p : exports) {
    if (!p) return 1;
  }
  if (GetLastErrCode() != 1 || !GetListImageInfo().empty() || GetSelectImageInfo().bSucc) {
    std::puts("unexpected state of a library that never started");
    return 1;
  }
  Dl_info info{};
  if (!dladdr(exports[8], &info) || !info.dli_fname) return 1;
  std::printf("%s\n", info.dli_fname);
  return 0;
}
