// Request round trips through the library (SendAskPack over the real
// transport) against an in-process stand-in server, each request paired in
// the same iteration with raw round trips of the same request and reply bytes
// to the same server: the floors of one round trip on this machine. One raw
// client blocks in recv; the other polls the socket without blocking (recv
// with MSG_DONTWAIT in a loop), so that it pays no wake-up and no waiting
// trick can beat it. Each with the caller and the server left to the
// scheduler; with every thread of the process (the caller, the server, the
// library's own) on one CPU, as on a one-CPU machine; and with the caller and
// the server on two different CPUs (the library's own threads not pinned, as
// a host would not pin them). Also discovery, the CPU a request uses while it
// waits for a reply that never comes, and the process's resident memory
// across 200,000 requests.
//
// Run as root, the benchmark moves itself into a network namespace of its
// own (a veth pair, both ends up), discovers the stand-in server by the
// library's broadcast to 255.255.255.255:800 and measures discovery too.
// Otherwise (or with --no-netns) it stays on 127.0.0.1, gives the library
// that address through the network-table hook, stores the server's address
// where a discovery would, and skips the discovery benchmark.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <mutex>
#include <vector>

#include "bench/BenchNetns.h"
#include "bench/LoopbackServer.h"
#include "client/KelvaneDll.h"
#include "client/NetManager.h"
#include "log/LogWriter.h"
#include "platform/LocalAddress.h"

namespace {

using Clock = std::chrono::steady_clock;
using kdl::bench::Bytes;

constexpr uint32_t kListImages = 100;     // records in the image-list reply
constexpr int kSamples = 5000;            // requests per round-trip run
constexpr int kBlock = 25;                // requests of one kind in a row
constexpr int kMemoryRequests = 100000;   // requests of each half of the memory run
constexpr char kToolName[] = "kelvane-bench";

// Where the caller (the benchmark's thread) and the server's threads run.
enum Placement { kUnpinned, kOneCpu, kTwoCpus };
constexpr const char* kPlacementNames[] = {"unpinned", "one_cpu", "two_cpus"};

struct Setup {
  bool netns = false;
  cpu_set_t cpus;           // the process's CPUs at the start
  int cpuA = -1, cpuB = -1;  // the first two of them
  std::string why;          // why there is no namespace
  std::string localIp;      // the library's local address
  std::string serverIp;     // where it connects
  kdl::bench::LoopbackServer* server = nullptr;
  kdl::bench::RawTcpClient raw;
  kdl::bench::RawUdpClient rawUdp;
  Bytes loginRequest, listRequest, discoverRequest;
};
Setup g;

double Percentile(std::vector<double>& v, double q) {
  if (v.empty()) return 0;
  size_t k = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k];
}

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

cpu_set_t OneCpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return set;
}

// Lets every thread of the process run on `set` only. New threads inherit
// the affinity of the thread that makes them.
bool PinProcess(const cpu_set_t& set) {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return false;
  bool ok = true;
  while (const dirent* e = readdir(tasks)) {
    const int tid = std::atoi(e->d_name);
    if (tid > 0) ok = sched_setaffinity(tid, sizeof(set), &set) == 0 && ok;
  }
  closedir(tasks);
  return ok;
}

// Pins threads for a placement while it lives; `why` says what failed.
class Placed {
 public:
  explicit Placed(Placement p) : m_placement(p) {
    if (p == kUnpinned) return;
    if (p == kTwoCpus && g.cpuB < 0) {
      why = "one CPU only";
      return;
    }
    m_bPinned = true;
    const cpu_set_t one = OneCpu(g.cpuA);
    const bool ok = p == kOneCpu ? PinProcess(one)
                                 : sched_setaffinity(0, sizeof(one), &one) == 0 &&
                                       g.server->PinThreads(g.cpuB);
    if (!ok) why = "sched_setaffinity failed";
  }
  ~Placed() {
    if (!m_bPinned) return;
    if (m_placement == kOneCpu) {
      PinProcess(g.cpus);
    } else {
      sched_setaffinity(0, sizeof(g.cpus), &g.cpus);
      g.server->PinThreads(-1);
    }
  }
  std::string why;

 private:
  Placement m_placement;
  bool m_bPinned = false;
};

// The round trips of one kind in a run, in microseconds.
struct Samples {
  std::vector<double> us;
  Samples() { us.reserve(kSamples); }
  double P(double q) { return Percentile(us, q); }
};

// Library requests and the two raw round trips in alternating blocks of
// kBlock, so that all see the same machine over the run and a raw round trip
// does not start while the library's threads are still finishing the request
// before it. The iteration time is the library's mean per request in the
// block. Counters: median and p99 of each, in microseconds, and the ratio of
// the library's median to that of the floor the placement is judged by: the
// polling one where the caller has a CPU to itself, the blocking one on one
// CPU (where polling would only take the CPU from the server).
template <class Raw>
void Paired(benchmark::State& state, Placement placement, uint32_t askType, void* param, Raw raw) {
  Placed placed(placement);
  if (!placed.why.empty()) {
    state.SkipWithError(placed.why.c_str());
    return;
  }
  Samples lib, blocking, polling;
  for (auto _ : state) {
    Clock::duration libTotal{};
    for (int i = 0; i < kBlock; ++i) {
      Clock::time_point t0 = Clock::now();
      int rc = SendAskPack(askType, param);
      Clock::duration d = Clock::now() - t0;
      if (rc != 0) {
        state.SkipWithError("SendAskPack failed");
        return;
      }
      libTotal += d;
      lib.us.push_back(Micros(d));
    }
    for (Samples* floor : {&blocking, &polling}) {
      for (int i = 0; i < kBlock; ++i) {
        Clock::time_point t0 = Clock::now();
        size_t got = raw(floor == &polling);
        Clock::duration d = Clock::now() - t0;
        if (got == 0) {
          state.SkipWithError("raw round trip failed");
          return;
        }
        floor->us.push_back(Micros(d));
      }
    }
    state.SetIterationTime(std::chrono::duration<double>(libTotal).count() / kBlock);
  }
  const double p50 = lib.P(0.5);
  state.counters["p50_us"] = p50;
  state.counters["p99_us"] = lib.P(0.99);
  state.counters["floor_p50_us"] = blocking.P(0.5);
  state.counters["floor_p99_us"] = blocking.P(0.99);
  state.counters["poll_floor_p50_us"] = polling.P(0.5);
  state.counters["poll_floor_p99_us"] = polling.P(0.99);
  const double judged = placement == kOneCpu ? blocking.P(0.5) : polling.P(0.5);
  state.counters["ratio_p50"] = judged > 0 ? p50 / judged : 0;
}

void Login(benchmark::State& state, Placement placement) {
  Paired(state, placement, KELVANE_ASK_LOGIN, const_cast<char*>(kToolName),
         [](bool poll) { return g.raw.RoundTrip(g.loginRequest, poll); });
}

void ImageList(benchmark::State& state, Placement placement) {
  Paired(state, placement, KELVANE_ASK_IMAGE_LIST, nullptr,
         [](bool poll) { return g.raw.RoundTrip(g.listRequest, poll); });
}

void Discover(benchmark::State& state) {
  if (!g.netns) {
    state.SkipWithError(("no private network namespace: " + g.why).c_str());
    return;
  }
  Paired(state, kUnpinned, KELVANE_ASK_DISCOVER, nullptr,
         [](bool poll) { return g.rawUdp.RoundTrip(g.discoverRequest, poll); });
}

double ThreadCpuMicros() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// A request whose reply never comes (the server does not answer the image
// information request): the CPU its thread uses over the whole 3000 ms wait,
// next to that of a bare wait of the same length on a condition variable
// (on a virtual machine, going to sleep and waking cost CPU of their own).
void NoReply(benchmark::State& state) {
  double cpu = 0, wall = 0, bare = 0;
  for (auto _ : state) {
    double cpu0 = ThreadCpuMicros();
    const Clock::time_point t0 = Clock::now();
    const int rc = SendAskPack(KELVANE_ASK_IMAGE_INFO, nullptr);
    wall = Micros(Clock::now() - t0);
    cpu = ThreadCpuMicros() - cpu0;
    if (rc != 1) state.SkipWithError("the request did not time out");
    std::mutex mu;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(mu);
    cpu0 = ThreadCpuMicros();
    cv.wait_for(lock, std::chrono::milliseconds(kReplyWaitMs), [] { return false; });
    bare = ThreadCpuMicros() - cpu0;
  }
  state.counters["cpu_us"] = cpu;
  state.counters["wait_ms"] = wall / 1000;
  state.counters["bare_wait_cpu_us"] = bare;
}

// Resident memory in KiB from /proc/self/statm: all of it, and the share not
// backed by files (resident less shared), which is what a leak would grow;
// the file-backed part also grows as library code runs for the first time.
struct Resident {
  double all = 0, anon = 0;
};

Resident ResidentKiB() {
  long pages = 0, resident = 0, shared = 0;
  Resident r;
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return r;
  int n = std::fscanf(f, "%ld %ld %ld", &pages, &resident, &shared);
  std::fclose(f);
  if (n != 3) return r;
  const double kib = sysconf(_SC_PAGESIZE) / 1024.0;
  r.all = static_cast<double>(resident) * kib;
  r.anon = static_cast<double>(resident - shared) * kib;
  return r;
}

// Alternates logins and image lists. Returns the number of failures.
int Requests(int n) {
  int failed = 0;
  for (int i = 0; i < n; ++i) {
    int rc = (i & 1) ? SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr)
                     : SendAskPack(KELVANE_ASK_LOGIN, const_cast<char*>(kToolName));
    if (rc != 0) ++failed;
  }
  return failed;
}

// Twice 100,000 requests: growth in both halves is a leak, growth in the
// first only is memory settling (pages touched for the first time).
void Memory(benchmark::State& state) {
  Resident before, middle, after;
  int failed = 0;
  for (auto _ : state) {
    // Warm up first: pools and buffers settle within the first requests.
    failed += Requests(10000);
    before = ResidentKiB();
    failed += Requests(kMemoryRequests);
    middle = ResidentKiB();
    failed += Requests(kMemoryRequests);
    after = ResidentKiB();
  }
  if (failed != 0) state.SkipWithError("some requests failed");
  state.counters["rss_before_kib"] = before.all;
  state.counters["rss_half_kib"] = middle.all;
  state.counters["rss_after_kib"] = after.all;
  state.counters["anon_before_kib"] = before.anon;
  state.counters["anon_half_kib"] = middle.anon;
  state.counters["anon_after_kib"] = after.anon;
  state.counters["requests"] = kMemoryRequests;
}

// Moves into a private network if it can; on failure returns to the
// original namespace so that the loopback benchmarks still run.
bool TryPrivateNetwork(const kdl::bench::PrivateNetwork& net) {
  int original = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  bool ok = kdl::bench::EnterPrivateNetwork(net, g.why);
  if (!ok && original >= 0 && setns(original, CLONE_NEWNET) != 0) {
    std::perror("setns back to the original network");
    std::exit(1);
  }
  if (original >= 0) close(original);
  return ok;
}

void EmptyLogs() {
  const std::string& dir = CLogWriter::Instance()->LogDirectory();
  for (const std::string& name : kdl::plat::ListDirectory(dir, "*.log")) {
    const std::string f = dir + "/" + name;
    if (truncate(f.c_str(), 0) != 0) std::perror(f.c_str());
  }
}

bool Prepare(bool wantNetns) {
  sched_getaffinity(0, sizeof(g.cpus), &g.cpus);
  for (int i = 0; i < CPU_SETSIZE && g.cpuB < 0; ++i) {
    if (!CPU_ISSET(i, &g.cpus)) continue;
    (g.cpuA < 0 ? g.cpuA : g.cpuB) = i;
  }
  const kdl::bench::PrivateNetwork net;
  if (!wantNetns) g.why = "disabled with --no-netns";
  g.netns = wantNetns && TryPrivateNetwork(net);

  // The library's own lines: the default outputs less the console.
  CLogWriter::Instance()->m_nOutputMask = 0x0F & ~LOG_OUT_CONSOLE;
  EmptyLogs();

  if (g.netns) {
    // The veth ends need a moment to report themselves up.
    char ip[32] = {};
    for (int i = 0; i < 300 && !kdl::plat::PickLocalAddress(ip); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    g.localIp = ip;
    if (g.localIp != net.ipA && g.localIp != net.ipB) {
      std::fprintf(stderr, "roundtrip bench: no local address in the private network\n");
      return false;
    }
  } else {
    kdl::plat::SetNetworkTablesSourceForTest([] { return kdl::plat::TablesWithOneAddress("127.0.0.1"); });
    g.localIp = "127.0.0.1";
  }

  static kdl::bench::LoopbackServer server(kListImages);
  g.server = &server;
  if (!server.Start(g.netns ? "0.0.0.0" : "127.0.0.1")) return false;
  // The responder hears broadcasts only on the veth end the library does
  // not send from, so each broadcast is answered once.
  const char* peerDev = g.localIp == net.ipA ? net.devB : net.devA;
  if (g.netns && !server.StartDiscovery(peerDev)) return false;

  if (!StartServer(nullptr)) {
    std::fprintf(stderr, "roundtrip bench: StartServer failed\n");
    return false;
  }
  if (g.netns) {
    if (SendAskPack(KELVANE_ASK_DISCOVER, nullptr) != 0) {
      std::fprintf(stderr, "roundtrip bench: discovery failed\n");
      return false;
    }
  } else {
    GetDiscoverInfo().ServerIP = CNetManager::StringToIp("127.0.0.1");
    GetDiscoverInfo().ServerPort = server.TcpPort();
  }
  g.serverIp = CNetManager::IpToString(GetDiscoverInfo().ServerIP);
  if (GetDiscoverInfo().ServerPort != server.TcpPort() ||
      SendAskPack(KELVANE_ASK_LOGIN, const_cast<char*>(kToolName)) != 0) {
    std::fprintf(stderr, "roundtrip bench: first login failed\n");
    return false;
  }
  g.loginRequest = kdl::bench::LoginRequest(kToolName);
  g.listRequest = kdl::bench::ImageListRequest();
  g.discoverRequest = kdl::bench::DiscoverRequest();
  if (!g.raw.Connect(g.localIp.c_str(), g.serverIp.c_str(), server.TcpPort())) return false;
  if (g.netns && !g.rawUdp.Open(g.localIp.c_str())) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Taken out before the benchmark library sees the arguments.
  bool wantNetns = true;
  int out = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-netns") == 0) {
      wantNetns = false;
    } else {
      argv[out++] = argv[i];
    }
  }
  argc = out;

  // The namespace must be entered before any thread exists.
  if (!Prepare(wantNetns)) return 1;
  benchmark::AddCustomContext("network", g.netns ? "private namespace, veth pair"
                                                 : "127.0.0.1 (" + g.why + ")");
  benchmark::AddCustomContext("server", g.serverIp + ":" + std::to_string(g.server->TcpPort()));

  for (Placement p : {kUnpinned, kOneCpu, kTwoCpus}) {
    const std::string where = std::string("/") + kPlacementNames[p];
    benchmark::RegisterBenchmark(("RoundTrip/login" + where).c_str(),
                                 [p](benchmark::State& s) { Login(s, p); })
        ->Iterations(kSamples / kBlock)->UseManualTime()->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(
        ("RoundTrip/image_list_" + std::to_string(kListImages) + where).c_str(),
        [p](benchmark::State& s) { ImageList(s, p); })
        ->Iterations(kSamples / kBlock)->UseManualTime()->Unit(benchmark::kMicrosecond);
  }
  benchmark::RegisterBenchmark("RoundTrip/discover", Discover)
      ->Iterations(g.netns ? kSamples / kBlock : 1)->UseManualTime()->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Wait/no_reply", NoReply)
      ->Iterations(1)->Repetitions(1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Memory/requests_200000", Memory)
      ->Iterations(1)->Repetitions(1)->Unit(benchmark::kMillisecond);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  StopServer();
  g.server->Stop();
  EmptyLogs();
  // No shared log block left behind either.
  const kdl::log::CLogSharedBlock& ring = CLogWriter::Instance()->SharedBlock();
  kdl::plat::SharedBlockUnlink(ring.MemName(), ring.EventName());
  return 0;
}
