// The process heap on POSIX: the C++ free store (a replaced global operator
// new sees these blocks too).
#include <new>

#include "platform/Platform.h"

namespace kdl::plat {

void* ProcessHeapAlloc(size_t size) { return ::operator new(size, std::nothrow); }

void ProcessHeapFree(void* block) { ::operator delete(block); }

}  // namespace kdl::plat
