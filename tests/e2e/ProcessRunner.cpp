#include "tests/e2e/ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kdl::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> CStrings(std::vector<std::string>& v) {
  std::vector<char*> out;
  for (auto& s : v) out.push_back(&s[0]);
  out.push_back(nullptr);
  return out;
}

std::vector<std::string> MergedEnv(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& add : extra) {
    std::string key = add.substr(0, add.find('=') + 1);
    for (auto it = env.begin(); it != env.end();)
      it = it->rfind(key, 0) == 0 ? env.erase(it) : it + 1;
    env.push_back(add);
  }
  return env;
}

void DecodeStatus(int status, int* exitCode, int* sig) {
  if (WIFEXITED(status)) {
    *exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    *exitCode = -1;
    *sig = WTERMSIG(status);
  }
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         int timeoutSec, const std::vector<std::string>& env) {
  ProcessResult r;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return r;
  std::vector<std::string> args = argv;
  std::vector<std::string> envs = MergedEnv(env);
  std::vector<char*> cargs = CStrings(args);
  std::vector<char*> cenv = CStrings(envs);
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execve(cargs[0], cargs.data(), cenv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return r;
  }
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  bool outOpen = true, errOpen = true;
  auto deadline = start + std::chrono::seconds(timeoutSec);
  while (outOpen || errOpen) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      r.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3];
    int n = 0;
    int outIdx = -1, errIdx = -1, inIdx = -1;
    if (outOpen) fds[outIdx = n++] = {out[0], POLLIN, 0};
    if (errOpen) fds[errIdx = n++] = {err[0], POLLIN, 0};
    if (inFd >= 0) fds[inIdx = n++] = {inFd, POLLOUT, 0};
    int rc = poll(fds, n, static_cast<int>(left.count() < 200 ? left.count() : 200));
    if (rc < 0 && errno != EINTR) break;
    char buf[4096];
    if (outIdx >= 0 && fds[outIdx].revents) {
      ssize_t got = read(out[0], buf, sizeof buf);
      if (got > 0) r.out.append(buf, static_cast<size_t>(got)); else outOpen = false;
    }
    if (errIdx >= 0 && fds[errIdx].revents) {
      ssize_t got = read(err[0], buf, sizeof buf);
      if (got > 0) r.err.append(buf, static_cast<size_t>(got)); else errOpen = false;
    }
    if (inIdx >= 0 && fds[inIdx].revents) {
      ssize_t put = (fds[inIdx].revents & POLLOUT)
                        ? write(inFd, input.data() + written, input.size() - written)
                        : -1;
      if (put > 0) written += static_cast<size_t>(put);
      if (put <= 0 || written == input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  if (inFd >= 0) close(inFd);
  close(out[0]);
  close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  DecodeStatus(status, &r.exitCode, &r.signal);
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return r;
}

bool BackgroundProcess::Start(const std::vector<std::string>& argv,
                              const std::string& outputFile) {
  Stop();
  m_outputFile = outputFile;
  int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<std::string> args = argv;
  std::vector<char*> cargs = CStrings(args);
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  close(fd);
  if (pid < 0) return false;
  m_pid = pid;
  return true;
}

bool BackgroundProcess::WaitForOutput(const std::string& text, int timeoutSec) {
  auto deadline = Clock::now() + std::chrono::seconds(timeoutSec);
  while (Clock::now() < deadline) {
    if (Output().find(text) != std::string::npos) return true;
    int status;
    if (m_pid > 0 && waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;  // ended on its own
      return Output().find(text) != std::string::npos;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int BackgroundProcess::Stop() {
  if (m_pid <= 0) return -1;
  pid_t pid = m_pid;
  m_pid = -1;
  kill(pid, SIGTERM);
  int status = 0;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  int code = -1, sig = 0;
  DecodeStatus(status, &code, &sig);
  return code;
}

int BackgroundProcess::Wait(int timeoutSec) {
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSec);
  int status = 0;
  while (m_pid > 0 && Clock::now() < deadline) {
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      int code = -1, sig = 0;
      DecodeStatus(status, &code, &sig);
      return code;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

bool BackgroundProcess::Alive() {
  if (m_pid <= 0) return false;
  int status;
  if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
    m_pid = -1;
    return false;
  }
  return true;
}

std::string BackgroundProcess::Output() const { return ReadFile(m_outputFile); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}


}  // namespace kdl::test
