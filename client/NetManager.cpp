#include "client/NetManager.h"

#include <cstring>
#include <mutex>

#include "log/LogWriter.h"
#include "platform/LocalAddress.h"
#include "util/IPv4Text.h"
#include "util/NeverDestroyed.h"

using namespace PacketZVDiskless;

namespace {

// The process-wide manager, in static storage.
kdl::util::TNeverDestroyed<CNetManager> g_NetManager;

}  // namespace

// ---- the single instance --------------------------------------------------

CNetManager* GetNetManager() { return &g_NetManager.Get(); }

CNetManager::CNetManager() = default;

CNetManager::~CNetManager() {
  if (m_hEvent != kdl::plat::NoEvent()) kdl::plat::EventClose(m_hEvent);
}

// ---- conversions ------------------------------------------------------------

std::string CNetManager::IpToString(uint32_t ip) { return kdl::util::IPv4Text(ip); }

uint32_t CNetManager::StringToIp(const char* text) {
  uint32_t ip = 0;
  kdl::util::ParseIPv4(text, kdl::util::IPv4Rules::kAtol, &ip);
  return ip;
}

void CNetManager::PickLocalAddress(char* out) {
  if (!out) return;
  char picked[32] = {};
  if (kdl::plat::PickLocalAddress(picked)) std::memcpy(out, picked, sizeof(picked));
}

// ---- start and stop ------------------------------------------------------------

bool CNetManager::StartServer(KelvaneTcpClosedFn onTcpClosed) {
  std::unique_lock<std::mutex> life(m_muLife);
  if (!WaitForStopLocked(life)) return false;
  if (m_nLife == Life::kStarted) return true;
  return StartLocked(onTcpClosed);
}

bool CNetManager::WaitForStopLocked(std::unique_lock<std::mutex>& life) {
  if (m_nLife != Life::kStopping) return true;
  // The stop in progress may be waiting for this very thread to finish its
  // callback: waiting here would never end.
  if (kdl::netevent::InsideEventCallback()) return false;
  m_cvLife.wait(life, [this] { return m_nLife != Life::kStopping; });
  return true;
}

// A start that fails part-way undoes what it did: no transport threads are
// left running for a manager that is not started.
bool CNetManager::StartLocked(KelvaneTcpClosedFn onTcpClosed) {
  PickLocalAddress(m_szLocalIP);
  if (m_szLocalIP[0] == '\0') return false;

  if (!TcpInit(TcpEventCallback)) {
    KLOG_AT(kSource, LOG_ERROR, "TcpInit failed.");
    return false;
  }
  if (!UdpInit(UdpEventCallback)) {
    KLOG_AT(kSource, LOG_ERROR, "UdpInit failed.");
    TcpUninit();
    return false;
  }
  m_pfnTcpClosed.store(onTcpClosed);
  m_bNetOrder.store(false);

  kdl::plat::EventHandle event = kdl::plat::EventCreate();
  if (event == kdl::plat::NoEvent() || event == nullptr) {
    KLOG_AT(kSource, LOG_ERROR, "Create Event failed.");
    TcpUninit();
    UdpUninit();
    return false;
  }
  kdl::plat::EventReset(event);

  kdl::plat::LockGuard store(m_csLock);
  m_hEvent = event;
  m_bStarted.store(true);
  m_nLife = Life::kStarted;
  return true;
}

// No lock is held while links are destroyed and the transport threads end:
// their callbacks may call back into the manager.
void CNetManager::StopServer() {
  if (!BeginStop()) return;
  TcpUninit();
  UdpUninit();
  EndStop();
}

bool CNetManager::BeginStop() {
  {
    std::unique_lock<std::mutex> life(m_muLife);
    if (!WaitForStopLocked(life)) return false;
    m_nLife = Life::kStopping;
  }
  {
    // From here on no reply handler stores or signals, and no request arms.
    kdl::plat::LockGuard store(m_csLock);
    m_bStarted.store(false);
  }
  InterruptWait(WaitKind::kAny);
  ReleaseLinks();  // also ends a connect in progress
  {
    // The request in flight has been woken; once it has left, nothing uses
    // the event or creates links any more.
    kdl::plat::LockGuard req(m_csReqLock);
  }
  ReleaseLinks();
  kdl::plat::LockGuard store(m_csLock);
  if (m_hEvent != kdl::plat::NoEvent()) {
    kdl::plat::EventClose(m_hEvent);
    m_hEvent = kdl::plat::NoEvent();
  }
  return true;
}

// Each handle is taken out before it is destroyed, so a close event for it
// finds it gone and does not report it to the host.
void CNetManager::ReleaseLinks() {
  uint32_t udp = m_hUdpLink.exchange(kInvalidHandle);
  if (udp != kInvalidHandle) UdpDestroy(udp);
  uint32_t tcp = m_hTcpLink.exchange(kInvalidHandle);
  if (tcp != kInvalidHandle) TcpDestroy(tcp);
  m_bTcpConnected.store(false);
  uint32_t closing;
  {
    kdl::plat::LockGuard store(m_csLock);
    m_owed.Forget();
    closing = m_hClosingLink;
    m_hClosingLink = kInvalidHandle;
    m_nClosingReports = 0;
  }
  // A link that the library ended itself and whose close has not come yet
  // goes unreported, as the current one does.
  if (closing != kInvalidHandle) TcpDestroy(closing);
}

void CNetManager::EndStop() {
  {
    kdl::plat::LockGuard store(m_csLock);
    m_listImageInfo.clear();
    m_mapSnapInfo.clear();
  }
  std::lock_guard<std::mutex> life(m_muLife);
  m_nLife = Life::kStopped;
  m_cvLife.notify_all();
}
