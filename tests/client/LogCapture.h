// Reads what the process's log writer prints while a test runs. The writer
// is switched to its console output only, with the source location as the
// one prefix field ("[file:line]|[Level]|text\n"), and standard output is
// redirected into a temporary file for the capture's lifetime.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>
#ifdef _WIN32
#include <cstdlib>
#include <fstream>
#include <iterator>
#endif

#include <gtest/gtest.h>

#include "log/LogWriter.h"

namespace kdl::test {

// Keeps the writer's lines on the console only (no daily file, no shared
// block), with the source location as the one prefix field.
inline void QuietLog() {
  CLogWriter* writer = CLogWriter::Instance();
  writer->m_nOutputMask = LOG_OUT_CONSOLE;
  writer->m_nPrefixMask = LOG_PREFIX_LOCATION;
}

class LogCapture {
 public:
  LogCapture() {
    QuietLog();
    std::fflush(stdout);
#ifdef _WIN32
    // A named file, so that Text() can read it through a handle of its own
    // (Windows has no pread, and the redirected handle shares its position).
    static int s_nCaptures = 0;
    const char* tmp = std::getenv("TEMP");
    m_path = std::string(tmp ? tmp : ".") + "\\kvcapture-" + std::to_string(::getpid()) + "-" +
             std::to_string(++s_nCaptures) + ".txt";
    m_file = std::fopen(m_path.c_str(), "w+b");
#else
    m_file = std::tmpfile();
#endif
    m_saved = ::dup(STDOUT_FILENO);
    if (m_file && m_saved >= 0) ::dup2(::fileno(m_file), STDOUT_FILENO);
  }
  ~LogCapture() {
    // Failure messages of the test went into the capture too: show it all.
    const std::string text = ::testing::Test::HasFailure() ? Text() : std::string();
    std::fflush(stdout);
    if (m_saved >= 0) {
      ::dup2(m_saved, STDOUT_FILENO);
      ::close(m_saved);
    }
    if (m_file) std::fclose(m_file);
#ifdef _WIN32
    if (m_file) std::remove(m_path.c_str());
#endif
    if (!text.empty()) std::printf("---- captured output ----\n%s---- end ----\n", text.c_str());
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything printed so far.
  std::string Text() {
    std::fflush(stdout);
    std::string out;
    if (!m_file) return out;
#ifdef _WIN32
    std::ifstream in(m_path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
#else
    char buf[4096];
    off_t pos = 0;
    for (;;) {
      ssize_t n = ::pread(::fileno(m_file), buf, sizeof(buf), pos);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
      pos += n;
    }
#endif
    return out;
  }

  // True when a line of `level` ("Info", "Warning", "Error") from `source`
  // carries exactly `text`.
  bool Has(const std::string& source, const std::string& level, const std::string& text) {
    return Count(source, level, text) > 0;
  }
  int Count(const std::string& source, const std::string& level, const std::string& text) {
    const std::string all = Text();
    const std::string tail = "]|[" + level + "]|" + text + "\n";
    int n = 0;
    size_t start = 0;
    while (start < all.size()) {
      size_t end = all.find('\n', start);
      if (end == std::string::npos) break;
      std::string line = all.substr(start, end - start + 1);
      if (line.compare(0, source.size() + 2, "[" + source + ":") == 0 &&
          line.size() >= tail.size() &&
          line.compare(line.size() - tail.size(), tail.size(), tail) == 0 &&
          line.find("]|[") == line.size() - tail.size()) {
        ++n;
      }
      start = end + 1;
    }
    return n;
  }

 private:
  std::FILE* m_file = nullptr;
  int m_saved = -1;
#ifdef _WIN32
  std::string m_path;
#endif
};

}  // namespace kdl::test
