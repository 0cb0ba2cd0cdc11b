#include "tools/host/Console.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace kdl::host {
namespace {

constexpr char kClearLine[] = "\r\033[K";

// The descriptor a spinner is drawn on, -1 when none is; read by the signal
// handler, which sets g_ending so that no frame follows its clearing.
// g_drawing is set while a frame is written: the handler, which never runs
// on the drawing thread (WaitIndicator blocks the signals there), lets that
// frame end before it clears the line.
std::atomic<int> g_spinnerFd{-1};
std::atomic<bool> g_ending{false};
std::atomic<bool> g_drawing{false};

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const auto n = write(fd, data, static_cast<unsigned>(size));
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

extern "C" void ClearAndEnd(int sig) {
  g_ending.store(true);
  for (long spins = 0; g_drawing.load() && spins < (1L << 26); ++spins) {
  }
  const int fd = g_spinnerFd.exchange(-1);
  if (fd >= 0) WriteAll(fd, kClearLine, sizeof kClearLine - 1);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

Console::Console(int fd, bool terminal) : m_fd(fd), m_terminal(terminal) {}

Console::~Console() { ClearSpinner(); }

void Console::ClearLocked() {
  if (!m_drawn) return;
  m_drawn = false;
  g_spinnerFd.store(-1);
  WriteAll(m_fd, kClearLine, sizeof kClearLine - 1);
}

void Console::Write(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ClearLocked();
  WriteAll(m_fd, text.data(), text.size());
}

void Console::DrawSpinner(const std::string& line) {
  if (!m_terminal) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  // Either the handler sees this frame being drawn and waits for it, or this
  // sees the handler's mark and draws nothing.
  g_drawing.store(true);
  if (!g_ending.load()) {
    g_spinnerFd.store(m_fd);
    const std::string text = "\r" + line;
    WriteAll(m_fd, text.data(), text.size());
    m_drawn = true;
  }
  g_drawing.store(false);
}

void Console::ClearSpinner() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ClearLocked();
}

void Console::ClearSpinnerOnSignals() {
  std::signal(SIGINT, ClearAndEnd);
  std::signal(SIGTERM, ClearAndEnd);
}

}  // namespace kdl::host
