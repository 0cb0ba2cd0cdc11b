// Sockets that the host's child processes do not inherit.
#pragma once

#include <cstdint>

namespace kdl::transport {

// A socket of the system's socket API: a SOCKET on Windows, a descriptor
// elsewhere.
#ifdef _WIN32
using SocketHandle = uintptr_t;
#else
using SocketHandle = int;
#endif
constexpr SocketHandle kNoSocket = static_cast<SocketHandle>(-1);

enum class SocketKind { kTcp, kUdp };

// A new IPv4 socket that a program the host starts does not get: created
// close-on-exec (POSIX) or not inheritable (Windows, overlapped for Asio).
// With `nonBlocking` (POSIX only) its calls never block. kNoSocket on
// failure.
SocketHandle OpenPrivateSocket(SocketKind kind, bool nonBlocking = false);

// Closes a socket that OpenPrivateSocket made and nothing else took over.
void CloseSocketHandle(SocketHandle socket);

}  // namespace kdl::transport
