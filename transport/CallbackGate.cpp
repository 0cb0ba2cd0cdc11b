#include "transport/CallbackGate.h"

namespace kdl::transport {
namespace {

thread_local int t_nCallbackDepth = 0;

}  // namespace

bool InsideTransportCallback() { return t_nCallbackDepth > 0; }

CCallbackScope::CCallbackScope() { ++t_nCallbackDepth; }
CCallbackScope::~CCallbackScope() { --t_nCallbackDepth; }

void CCallbackGate::Close() {
  std::unique_lock<std::mutex> lock(m_mu);
  m_bClosed = true;
  if (InsideTransportCallback()) return;
  m_cv.wait(lock, [this] { return m_nRunning == 0; });
}

bool CCallbackGate::IsClosed() const {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_bClosed;
}

void CCallbackGate::Leave() {
  std::lock_guard<std::mutex> lock(m_mu);
  if (--m_nRunning == 0) m_cv.notify_all();
}

}  // namespace kdl::transport
