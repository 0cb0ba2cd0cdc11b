#include "transport/PrivateSocket.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kdl::transport {

#ifdef _WIN32
#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

SocketHandle OpenPrivateSocket(SocketKind kind, bool /*nonBlocking*/) {
  const int type = kind == SocketKind::kTcp ? SOCK_STREAM : SOCK_DGRAM;
  SOCKET s = ::WSASocketW(AF_INET, type, 0, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
    // Windows before 7 SP1 knows no such flag: clear the bit afterwards.
    s = ::WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET &&
        !::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0)) {
      ::closesocket(s);
      s = INVALID_SOCKET;
    }
  }
  return s == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(s);
}

void CloseSocketHandle(SocketHandle socket) {
  if (socket != kNoSocket) ::closesocket(static_cast<SOCKET>(socket));
}
#else
SocketHandle OpenPrivateSocket(SocketKind kind, bool nonBlocking) {
  const int type = kind == SocketKind::kTcp ? SOCK_STREAM : SOCK_DGRAM;
  const int s = ::socket(AF_INET, type | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
  return s < 0 ? kNoSocket : s;
}

void CloseSocketHandle(SocketHandle socket) {
  if (socket != kNoSocket) ::close(socket);
}
#endif

}  // namespace kdl::transport
