// The library's console lines, which it prints to stdout: taken off stdout
// through a pipe, so that stdout carries only the tool's results, shown on
// the console when asked for, and kept per request, so that a failed
// request can be told apart by what the library said meanwhile.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/Console.h"

namespace kdl::host {

class LibraryLines {
 public:
  // Shows the lines on `console` when `show`.
  LibraryLines(Console& console, bool show);
  ~LibraryLines();
  LibraryLines(const LibraryLines&) = delete;
  LibraryLines& operator=(const LibraryLines&) = delete;

  // Points stdout at the pipe and returns a stream on the original stdout
  // for the tool's own output (stdout itself when that cannot be done).
  std::FILE* Capture();
  // Forgets the lines read so far, once everything printed until now was
  // read: what comes after belongs to the next request.
  void Begin();
  // The lines printed since Begin(), once all of them were read.
  std::vector<std::string> Since();
  // Ends the capture (stdout then leads nowhere) and waits for the reader.
  void Finish();

 private:
  void Read(int fd);
  void Take(const std::string& line);
  // Waits until the reader has passed a mark printed now.
  void Sync();

  Console& m_console;
  const bool m_show;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<std::string> m_lines;  // since Begin(), the latest ones
  unsigned m_marksSent = 0;
  unsigned m_marksSeen = 0;
  bool m_ended = false;
  std::thread m_reader;
};

}  // namespace kdl::host
