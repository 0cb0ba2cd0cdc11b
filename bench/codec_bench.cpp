// Codec throughput: decoding through CreatePacket and encoding through Pack,
// each next to a memcpy of the same bytes in the same run (the physical limit
// of moving them), and the factory over one minimal packet of every code.
//
// Benchmarks come in triples named Decode/<case>, Encode/<case> and
// Memcpy/<case>; scripts/bench.sh divides their byte rates.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocol/AllPackets.h"
#include "protocol/PacketBytes.h"
#include "protocol/PacketFactory.h"
#include "util/Text.h"

namespace {

using namespace PacketZVDiskless;  // the code tables name classes unqualified
using Bytes = std::vector<uint8_t>;

// Fixed text in a character field, as a server would fill it.
template <size_t N>
void Name(char (&field)[N], const char* prefix, uint32_t i) {
  char text[N];
  std::snprintf(text, sizeof(text), "%s-%04u", prefix, i);
  kdl::util::CopyField(field, text);
}

// The packet's wire bytes, Length set to its Size(); empty if it does not
// pack into exactly Size() bytes.
Bytes Wire(CPacketHead& p) {
  const CPackedPacket packed(p);
  if (!packed.Packed() || packed.Written() != packed.Size()) return Bytes();
  return Bytes(packed.Data(), packed.Data() + packed.Size());
}

// One benchmark case: a packet ready to encode and its wire bytes to decode.
struct Case {
  std::string name;
  std::unique_ptr<CPacketHead> packet;
  Bytes wire;
};

Case HeadOnly() {
  Case c{"head_only", std::make_unique<CPktClientKeepAlive>(), {}};
  c.wire = Wire(*c.packet);
  return c;
}

Case LoginAck() {
  auto p = std::make_unique<CPktToolLoginAck>();
  p->ClientType = 3;
  p->ManagerEnable = 1;
  p->ExtInfo = 0x1234;
  Case c{"login_ack", std::move(p), {}};
  c.wire = Wire(*c.packet);
  return c;
}

Case ImageList(uint32_t images) {
  auto p = std::make_unique<CPktToolQueryImgInfoListAck>();
  p->ServerIP = 0x7f000001;
  p->ServerPort = 8100;
  p->Images.SetCount(images);
  for (uint32_t i = 0; i < images; ++i) {
    CPImageBaseInfor* r = p->Images.GetAt(i);
    r->ImageId = i + 1;
    Name(r->Name, "image", i);
    r->Param1 = 1;
    r->Param2 = i;
  }
  Case c{"image_list_" + std::to_string(images), std::move(p), {}};
  c.wire = Wire(*c.packet);
  return c;
}

Case ImageInfo(uint32_t images, uint32_t snapshots) {
  auto p = std::make_unique<CPktToolQueryImgInfoAck>();
  p->m_Field.SetCount(images);
  for (uint32_t i = 0; i < images; ++i) {
    CImgInfoEx* img = p->m_Field.GetAt(i);
    img->ImageId = i + 1;
    img->Param3 = 7;
    Name(img->Text1, "image", i);
    Name(img->Text2, "/images/base", i);
    img->Snapshots.SetCount(snapshots);
    for (uint32_t s = 0; s < snapshots; ++s) {
      CImgSnapshotInfo* snap = img->Snapshots.GetAt(s);
      snap->SnapshotId = i * snapshots + s + 1;
      Name(snap->Text, "snapshot", s);
      snap->SetTimeField(0, 2026);
      snap->SetTimeField(1, 12);
      snap->SetTimeField(2, 7);
    }
  }
  Case c{"image_info_" + std::to_string(images) + "x" + std::to_string(snapshots),
         std::move(p), {}};
  c.wire = Wire(*c.packet);
  return c;
}

void Account(benchmark::State& state, size_t bytesPerPacket, size_t packetsPerIteration = 1) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * packetsPerIteration));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytesPerPacket));
}

void Decode(benchmark::State& state, const Case* c) {
  const uint32_t size = static_cast<uint32_t>(c->wire.size());
  for (auto _ : state) {
    CPktReadStream r(c->wire.data(), size, false);
    CPacketHead* p = CreatePacket(r);
    if (p == nullptr) {
      state.SkipWithError("packet does not decode");
      break;
    }
    benchmark::DoNotOptimize(p);
    delete p;
  }
  Account(state, size);
}

void Encode(benchmark::State& state, const Case* c) {
  // The send path without its allocation: size the packet, then pack it.
  Bytes out(c->wire.size());
  for (auto _ : state) {
    c->packet->Length = c->packet->Size();
    CPktWriteStream w(out.data(), c->packet->Length, false);
    int rc = c->packet->Pack(w);
    benchmark::DoNotOptimize(rc);
    benchmark::ClobberMemory();
  }
  if (out != c->wire) state.SkipWithError("encoding differs from the wire bytes");
  Account(state, out.size());
}

void Memcpy(benchmark::State& state, const Case* c) {
  Bytes out(c->wire.size());
  for (auto _ : state) {
    std::memcpy(out.data(), c->wire.data(), c->wire.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  Account(state, out.size());
}

// ---- the factory over every code --------------------------------------------

// The minimal packet of a code: its class built from a head of that code,
// arrays empty, every number zero.
template <class T>
Bytes Minimal(uint32_t code) {
  CPacketHead head;
  head.Type = code;
  T packet(head);
  return Wire(packet);
}

struct Mix {
  std::vector<Bytes> messages;
  size_t bytes = 0;
  int codes = 0;    // rows in the tables
  int skipped = 0;  // rows whose minimal packet does not decode
};

const Mix& AllCodes() {
  static const Mix mix = [] {
    Mix m;
    auto add = [&m](uint32_t, Bytes bytes) {
      ++m.codes;
      CPktReadStream r(bytes.data(), static_cast<uint32_t>(bytes.size()), false);
      std::unique_ptr<CPacketHead> p(bytes.empty() ? nullptr : CreatePacket(r));
      if (!p) {
        ++m.skipped;
        return;
      }
      m.bytes += bytes.size();
      m.messages.push_back(std::move(bytes));
    };
#define KBENCH_ROW(code, KIND, arg, TAIL) add(code, Minimal<KPKT_TYPE(code, KIND, arg)>(code));
    KELVANE_ALL_PACKETS(KBENCH_ROW)
#undef KBENCH_ROW
    return m;
  }();
  return mix;
}

void DecodeAllCodes(benchmark::State& state) {
  const Mix& mix = AllCodes();
  for (auto _ : state) {
    for (const Bytes& b : mix.messages) {
      CPktReadStream r(b.data(), static_cast<uint32_t>(b.size()), false);
      CPacketHead* p = CreatePacket(r);
      benchmark::DoNotOptimize(p);
      delete p;
    }
  }
  Account(state, mix.bytes, mix.messages.size());
  state.counters["codes"] = mix.codes;
  state.counters["codes_skipped"] = mix.skipped;
}

void MemcpyAllCodes(benchmark::State& state) {
  const Mix& mix = AllCodes();
  Bytes out(64 * 1024);
  for (auto _ : state) {
    for (const Bytes& b : mix.messages) {
      std::memcpy(out.data(), b.data(), b.size());
      benchmark::DoNotOptimize(out.data());
      benchmark::ClobberMemory();
    }
  }
  Account(state, mix.bytes, mix.messages.size());
}

}  // namespace

int main(int argc, char** argv) {
  static std::vector<Case> cases;
  cases.push_back(HeadOnly());
  cases.push_back(LoginAck());
  cases.push_back(ImageList(1000));
  cases.push_back(ImageInfo(100, 10));
  for (const Case& c : cases) {
    if (c.wire.empty()) {
      std::fprintf(stderr, "codec bench: %s does not pack\n", c.name.c_str());
      return 1;
    }
    benchmark::RegisterBenchmark(("Decode/" + c.name).c_str(), Decode, &c);
    benchmark::RegisterBenchmark(("Encode/" + c.name).c_str(), Encode, &c);
    benchmark::RegisterBenchmark(("Memcpy/" + c.name).c_str(), Memcpy, &c);
  }
  benchmark::RegisterBenchmark("Decode/all_codes", DecodeAllCodes);
  benchmark::RegisterBenchmark("Memcpy/all_codes", MemcpyAllCodes);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
