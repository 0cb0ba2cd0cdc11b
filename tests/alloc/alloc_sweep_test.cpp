// Allocation failure across a whole session: start, discovery, login, image
// list, stop. For N = 1, 2, ... the Nth allocation of the session fails, in a
// child process of its own, until a session runs through without reaching N.
// Every run must end in a clean failure (a request returns 1, the results
// stay as they were) or in a complete session; never in a crash, a hang, a
// leak or a request that returns 0 with partial results.
//
// Two passes: every operator new of the library linked into this program,
// and every malloc of the process while the built shared library, loaded
// with dlopen as a host loads it, runs the session (the C library's and the
// dynamic loader's allocations on its behalf included).
//
// As root the sweeps run in a private network namespace (the discovery
// broadcast included); otherwise the first skips discovery and talks to
// 127.0.0.1, and the second, which cannot steer the loaded library's choice
// of address, is skipped.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>

#include "bench/BenchNetns.h"
#include "bench/LoopbackServer.h"
#include "client/KelvaneDll.h"
#include "platform/LocalAddress.h"
#include "tests/alloc/FailingAllocator.h"

namespace {

constexpr uint32_t kImages = 3;
// How long one session may take: three requests that time out, and slack.
constexpr unsigned kChildSeconds = 30;
// The sweep ends here even if sessions still reach N (a bound on CI time).
constexpr uint64_t kMaxN = 4000;

// Exit codes of a child.
enum Outcome : int {
  kComplete = 0,       // every request returned 0 with whole results
  kCleanFailure = 10,  // a request returned 1 and the results stayed as they were
  kWrongResult = 20,   // a request returned 0 with wrong or partial results
  kNotReached = 30,    // the session made fewer than N allocations
  kNoNetwork = 40,     // the child's private network could not be made
  kNoLibrary = 50,     // the shared library could not be loaded
};

struct Net {
  bool isPrivate = false;
  const char* peerDevice = nullptr;
  std::string why;
};

Net g_net;

// Folds one request's result into the session's outcome: `whole` says
// whether the results are right for a result of 0, `unchanged` whether they
// are as before for a result of 1.
int Judge(const char* request, int outcome, int rc, bool whole, bool unchanged) {
  if (std::getenv("KELVANE_ALLOC_ONLY")) {
    std::fprintf(stderr, "%s: result %d, whole %d, unchanged %d\n", request, rc, whole, unchanged);
  }
  if (rc == 0 && whole) return outcome;
  if (rc == 1 && unchanged) return outcome == kComplete ? kCleanFailure : outcome;
  return kWrongResult;
}

bool ListIsWhole(const Kelvane::ImageInfoList& list) {
  if (list.size() != kImages) return false;
  uint32_t id = 1;
  for (const Kelvane::_IN_IMAGE_INFO& info : list) {
    char name[32];
    std::snprintf(name, sizeof(name), "image-%04u", id - 1);
    if (info.ImageId != id++ || std::strcmp(info.Name, name) != 0) return false;
  }
  return true;
}

// The exports a session uses: those linked in, or those of a loaded library.
struct Api {
  bool (*start)(KelvaneTcpClosedFn) = &StartServer;
  void (*stop)() = &StopServer;
  int (*ask)(uint32_t, void*) = &SendAskPack;
  Kelvane::_IN_DISCOVER_INFO& (*discover)() = &GetDiscoverInfo;
  Kelvane::_IN_CLIENT_INFO& (*client)() = &GetClientInfo;
  Kelvane::ImageInfoList& (*list)() = &GetListImageInfo;
};

// The exports of the built shared library, loaded as a host loads it.
bool LoadLibrary(Api* api) {
  void* lib = dlopen(KELVANE_DLL_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return false;
  bool ok = true;
  auto find = [&](auto& fn, const char* name) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
    ok = ok && fn != nullptr;
  };
  find(api->start, "StartServer");
  find(api->stop, "StopServer");
  find(api->ask, "SendAskPack");
  find(api->discover, "GetDiscoverInfo");
  find(api->client, "GetClientInfo");
  find(api->list, "GetListImageInfo");
  return ok;
}

int Session(const Api& api, uint16_t port) {
  if (!api.start(nullptr)) return kCleanFailure;
  int outcome = kComplete;
  if (g_net.isPrivate) {
    const int rc = api.ask(KELVANE_ASK_DISCOVER, nullptr);
    outcome = Judge("discover", outcome, rc, api.discover().ServerPort == port,
                    api.discover().ServerPort == 0);
  } else {
    api.discover().ServerIP = 0x7F000001;
    api.discover().ServerPort = port;
  }
  char name[] = "alloc";
  int rc = api.ask(KELVANE_ASK_LOGIN, name);
  const Kelvane::_IN_CLIENT_INFO& client = api.client();
  outcome = Judge("login", outcome, rc, client.ClientType == 2 && client.ManagerEnable == 1,
                  client.ClientType == 0);
  rc = api.ask(KELVANE_ASK_IMAGE_LIST, nullptr);
  outcome = Judge("images", outcome, rc, ListIsWhole(api.list()), api.list().empty());
  api.stop();
  return outcome;
}

// Moves into a private network of this process alone, where the discovery
// broadcast reaches only its own responder. Before any thread starts.
bool EnterNetwork() {
  const kdl::bench::PrivateNetwork net;
  if (!kdl::bench::EnterPrivateNetwork(net, g_net.why)) return false;
  char ip[32] = {};
  for (int i = 0; i < 300 && !kdl::plat::PickLocalAddress(ip); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  g_net.peerDevice = std::strcmp(ip, net.ipA) == 0 ? net.devB : net.devA;
  return true;
}

// One child: the server, then the session with allocation `n` of `what`
// failing (through the loaded library for malloc).
[[noreturn]] void Child(uint64_t n, allocfail::Counted what) {
  alarm(kChildSeconds);
  const char* only = std::getenv("KELVANE_ALLOC_ONLY");
  // The library's console lines would drown the test's output.
  if (!only && !std::freopen("/dev/null", "w", stdout)) _exit(kWrongResult);
  if (g_net.isPrivate && !EnterNetwork()) _exit(kNoNetwork);
  Api api;
  if (what == allocfail::Counted::kMalloc && !LoadLibrary(&api)) _exit(kNoLibrary);
  kdl::bench::LoopbackServer server(kImages, allocfail::ExemptThisThread);
  if (!server.Start(g_net.isPrivate ? "0.0.0.0" : "127.0.0.1") ||
      (g_net.isPrivate && !server.StartDiscovery(g_net.peerDevice))) {
    _exit(kWrongResult);
  }
  allocfail::Arm(n, what);
  int outcome = Session(api, server.TcpPort());
  allocfail::Disarm();
  if (!allocfail::Fired()) outcome = outcome == kComplete ? kNotReached : kWrongResult;
  server.Stop();
  std::exit(outcome);  // exit, not _exit: the leak check runs at exit
}

struct Tally {
  uint64_t complete = 0, clean = 0, wrong = 0, crashed = 0, total = 0;
  std::string bad;  // " N:what" for every crash or wrong result
};

// Waits for one child; true when it ran out of allocations to fail.
bool Collect(pid_t pid, uint64_t n, Tally& t) {
  int status = 0;
  waitpid(pid, &status, 0);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == kNotReached) return true;
  ++t.total;
  switch (code) {
    case kComplete: ++t.complete; return false;
    case kCleanFailure: ++t.clean; return false;
    case kWrongResult: ++t.wrong; break;
    default: ++t.crashed; break;
  }
  t.bad += " " + std::to_string(n) + ":" +
           (WIFSIGNALED(status) ? "signal" + std::to_string(WTERMSIG(status))
                                : (code == kWrongResult ? "wrong" : "exit" + std::to_string(code)));
  return false;
}

// Runs children for N = 1, 2, ..., two at a time in order of N, until the
// first N that a session no longer reaches.
// KELVANE_ALLOC_ONLY=N runs that allocation alone, with the library's output.
void Sweep(allocfail::Counted what, Tally& t) {
  pid_t running[2] = {0, 0};
  uint64_t numbers[2] = {0, 0};
  bool end = false;
  const char* only = std::getenv("KELVANE_ALLOC_ONLY");
  const uint64_t first = only ? std::strtoull(only, nullptr, 10) : 1;
  const uint64_t last = only ? first : kMaxN;
  for (uint64_t n = first;; ++n) {
    const int slot = static_cast<int>(n % 2);
    if (running[slot]) end = Collect(running[slot], numbers[slot], t) || end;
    running[slot] = 0;
    if (end || n > last) {
      if (!running[0] && !running[1]) break;
      continue;
    }
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) Child(n, what);
    running[slot] = pid;
    numbers[slot] = n;
  }
}

void Report(const char* what, const Tally& t) {
  std::printf("%s sweep (%s): %llu runs, %llu clean failures, %llu complete "
              "(failure absorbed), %llu wrong results, %llu crashes\n",
              what, g_net.isPrivate ? "private network, with discovery" : "loopback, no discovery",
              static_cast<unsigned long long>(t.total), static_cast<unsigned long long>(t.clean),
              static_cast<unsigned long long>(t.complete), static_cast<unsigned long long>(t.wrong),
              static_cast<unsigned long long>(t.crashed));
  EXPECT_EQ(t.crashed, 0u) << "failed allocations:" << t.bad;
  EXPECT_EQ(t.wrong, 0u) << "failed allocations:" << t.bad;
  EXPECT_GT(t.clean, 0u);
}

class AllocationSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    // As root each child makes a private network of its own; otherwise the
    // sessions use loopback.
    g_net.isPrivate = getuid() == 0;
    if (!g_net.isPrivate) {
      kdl::plat::SetNetworkTablesSourceForTest(
          [] { return kdl::plat::TablesWithOneAddress("127.0.0.1"); });
    }
  }
  void TearDown() override { kdl::plat::SetNetworkTablesSourceForTest(nullptr); }
};

}  // namespace

TEST_F(AllocationSweep, EveryFailedAllocationEndsCleanly) {
  Tally t;
  Sweep(allocfail::Counted::kOperatorNew, t);
  Report("allocation", t);
}

// A library loaded with dlopen gets the C library's help on many a path
// (thread-local storage, file buffers, name look-ups): its failures too must
// end cleanly.
TEST_F(AllocationSweep, EveryFailedMallocOfTheLoadedLibraryEndsCleanly) {
  if (!g_net.isPrivate) GTEST_SKIP() << "needs root: the loaded library picks its own address";
  Tally t;
  Sweep(allocfail::Counted::kMalloc, t);
  Report("malloc", t);
}
