#include "tools/host/LibraryLines.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

#include <chrono>

namespace kdl::host {
namespace {

// A line the library never prints: the reader has read all before it.
constexpr char kMark[] = "\x1Fkelvane-mark";
// Lines kept per request; the ones that tell a failure apart come last.
constexpr size_t kKeptLines = 64;

bool MakePipe(int fds[2]) {
#ifdef _WIN32
  return _pipe(fds, 65536, _O_BINARY) == 0;
#else
  return pipe(fds) == 0;
#endif
}

int OpenNull() {
#ifdef _WIN32
  return open("NUL", O_WRONLY);
#else
  return open("/dev/null", O_WRONLY);
#endif
}

}  // namespace

LibraryLines::LibraryLines(Console& console, bool show) : m_console(console), m_show(show) {}

LibraryLines::~LibraryLines() { Finish(); }

std::FILE* LibraryLines::Capture() {
  std::fflush(stdout);
  const int own = dup(1);
  std::FILE* out = own >= 0 ? fdopen(own, "w") : nullptr;
  int fds[2];
  if (!out || !MakePipe(fds)) {
    if (out) std::fclose(out);
    return stdout;
  }
  dup2(fds[1], 1);
  close(fds[1]);
  // Whole lines reach the pipe as the library prints them (msvcrt has no
  // line buffering: there, no buffering).
#ifdef _WIN32
  std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
#endif
  m_reader = std::thread(&LibraryLines::Read, this, fds[0]);
  return out;
}

void LibraryLines::Read(int fd) {
  std::string pending;
  char buf[4096];
  for (;;) {
    const auto n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      const bool cr = nl > 0 && pending[nl - 1] == '\r';  // a text-mode stdout's line end
      Take(pending.substr(0, cr ? nl - 1 : nl));
      pending.erase(0, nl + 1);
    }
  }
  if (!pending.empty()) Take(pending);
  close(fd);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_ended = true;
  m_cv.notify_all();
}

void LibraryLines::Take(const std::string& line) {
  if (line == kMark) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_marksSeen;
    m_cv.notify_all();
    return;
  }
  if (m_show) m_console.Write(line + "\n");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.push_back(line);
  if (m_lines.size() > kKeptLines) m_lines.pop_front();
}

void LibraryLines::Sync() {
  if (!m_reader.joinable()) return;
  unsigned mark;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    mark = ++m_marksSent;
  }
  // Through stdout itself, whose lock keeps the library's lines whole.
  std::fputs((std::string(kMark) + "\n").c_str(), stdout);
  std::fflush(stdout);
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cv.wait_for(lock, std::chrono::seconds(2),
                [this, mark] { return m_ended || m_marksSeen >= mark; });
}

void LibraryLines::Begin() {
  Sync();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.clear();
}

std::vector<std::string> LibraryLines::Since() {
  Sync();
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::vector<std::string>(m_lines.begin(), m_lines.end());
}

void LibraryLines::Finish() {
  if (!m_reader.joinable()) return;
  std::fflush(stdout);
  const int null = OpenNull();
  if (null >= 0) {
    dup2(null, 1);  // closes the pipe's last writing end: the reader sees its end
    close(null);
  } else {
    close(1);
  }
  m_reader.join();
}

}  // namespace kdl::host
