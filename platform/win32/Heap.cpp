// The process heap on Windows.
#include <windows.h>

#include "platform/Platform.h"

namespace kdl::plat {

void* ProcessHeapAlloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void ProcessHeapFree(void* block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace kdl::plat
