// The module emulator's protocol core, driven by the host's own framing and packet bytes.
#include "sim/tarn/tarn_module.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tarn/hdlc_frame.h"
#include "tarn/tarn_packets.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tarnsim::cTarnModule;
using tarnsim::eFaultKind;
using tarnsim::sAction;
using Kind = tarnsim::sAction::eKind;

Bytes Framed(const uint8_t* p, size_t n) {
  Bytes out(brisa::HdlcFramedBound(n));
  out.resize(brisa::HdlcFrame(p, n, out.data()));
  return out;
}
Bytes Hello() {
  uint8_t b[brisa::kTarnHelloRequestSize];
  brisa::TarnHelloRequestBytes(b);
  return Framed(b, sizeof(b));
}
Bytes Open(uint8_t type, uint32_t length) {
  uint8_t b[brisa::kTarnOpenUnframedRequestSize];
  EXPECT_TRUE(brisa::TarnOpenUnframedBytes(type, length, b));
  return Framed(b, sizeof(b));
}
Bytes Chunk(uint16_t sequence, const Bytes& data) {
  uint8_t h[brisa::kTarnWriteUnframedHeaderSize];
  EXPECT_TRUE(brisa::TarnWriteUnframedHeaderBytes(static_cast<uint32_t>(data.size()), sequence, h));
  Bytes out(h, h + sizeof(h));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}
Bytes Done() {
  const uint8_t b[1] = {0x29};
  return Framed(b, 1);
}

// The host's view of what the module sent: packets after reassembly.
struct Host {
  explicit Host(cTarnModule& m) : module(m) {}
  cTarnModule& module;
  brisa::cHDLCReassembler rx;
  std::vector<Bytes> packets;
  std::vector<sAction> actions;

  void Send(const Bytes& bytes, size_t piece = SIZE_MAX) {
    for (size_t at = 0; at < bytes.size(); at += piece) {
      size_t n = std::min(piece, bytes.size() - at);
      for (auto& a : module.Receive(bytes.data() + at, n)) {
        if (a.kind == Kind::Send)
          rx.Feed(a.bytes.data(), a.bytes.size(),
                  [&](const uint8_t* p, size_t len) { packets.emplace_back(p, p + len); });
        actions.push_back(std::move(a));
      }
    }
  }
  Bytes Last() const { return packets.empty() ? Bytes{} : packets.back(); }
};

Bytes Random(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

TEST(TarnModuleCore, WholeDownloadArrivesIntact) {
  tarnsim::sModuleConfig config;
  config.firmwareSet = 3;
  config.imageVersion = 0x0102;
  config.chunkSize = 1000;
  cTarnModule module(config);
  Host host{module};

  host.Send(Hello(), 7);
  Bytes r = host.Last();
  ASSERT_EQ(r.size(), brisa::kTarnHelloResponseSize);
  EXPECT_EQ(r[0], 0x02);
  EXPECT_EQ(std::string(r.begin() + 1, r.begin() + 25), "ZEPH high speed protocol");
  EXPECT_EQ(brisa::TarnGetLe32(&r[25]), 3u);
  EXPECT_EQ(brisa::TarnGetLe16(&r[29]), 0x0102);
  EXPECT_EQ(r[33], 5);
  EXPECT_EQ(r[48], 0x30);

  // Data full of flag and escape bytes, which must pass raw; chunks fed in odd pieces.
  Bytes image = Random(2500, 1);
  for (size_t i = 0; i < image.size(); i += 9) image[i] = (i & 1) ? 0x7E : 0x7D;
  host.Send(Open(brisa::kTarnImageApps, 2500));
  r = host.Last();
  ASSERT_EQ(r.size(), brisa::kTarnOpenUnframedResponseSize);
  EXPECT_EQ(r[0], 0x26);
  EXPECT_EQ(brisa::TarnGetLe16(&r[1]), 0);
  EXPECT_EQ(brisa::TarnGetLe32(&r[4]), 1000u);

  for (uint16_t seq = 0; seq < 3; ++seq) {
    size_t at = seq * 1000u;
    Bytes part(image.begin() + at, image.begin() + std::min<size_t>(at + 1000, image.size()));
    host.Send(Chunk(seq, part), 333);
    r = host.Last();
    ASSERT_EQ(r.size(), brisa::kTarnWriteUnframedResponseSize);
    EXPECT_EQ(r[0], 0x28);
    EXPECT_EQ(brisa::TarnGetLe16(&r[7]), 0) << seq;
  }
  ASSERT_EQ(module.Images().size(), 1u);
  const auto& rec = module.Images()[0];
  EXPECT_EQ(rec.type, brisa::kTarnImageApps);
  EXPECT_TRUE(rec.Complete());
  EXPECT_EQ(rec.chunks, 3u);
  EXPECT_EQ(rec.digest, tarnsim::Fnv1a64(image.data(), image.size()));

  size_t before = host.packets.size();
  host.Send(Done());
  EXPECT_EQ(host.packets.size(), before) << "a restarting module does not answer";
  ASSERT_FALSE(host.actions.empty());
  EXPECT_EQ(host.actions.back().kind, Kind::Leave);
  EXPECT_EQ(module.Stats().badFrames, 0u);
  EXPECT_EQ(module.Stats().strayBytes, 0u);
}

TEST(TarnModuleCore, RefusesWhatAModuleWouldRefuse) {
  tarnsim::sModuleConfig config;
  config.chunkSize = 16;
  cTarnModule module(config);
  Host host{module};
  auto status = [&] { return brisa::TarnGetLe16(&host.Last()[7]); };

  host.Send(Chunk(0, Bytes(4, 1)));  // no image open
  EXPECT_NE(status(), 0);
  host.Send(Open(brisa::kTarnImageAmss, 20));
  host.Send(Chunk(1, Bytes(4, 1)));  // sequence must start at 0
  EXPECT_NE(status(), 0);
  host.Send(Chunk(0, Bytes(17, 1)));  // longer than the chunk size
  EXPECT_NE(status(), 0);
  host.Send(Chunk(0, Bytes(16, 1)));
  EXPECT_EQ(status(), 0);
  host.Send(Chunk(1, Bytes(5, 1)));  // beyond the announced length
  EXPECT_NE(status(), 0);
  EXPECT_EQ(module.Images()[0].received, 16u);

  // A header whose CRC fails is answered by an error packet.
  Bytes bad = Chunk(1, Bytes(4, 1));
  bad[8] ^= 1;
  host.Send(bad);
  EXPECT_EQ(host.Last()[0], 0x0D);
  EXPECT_EQ(module.Stats().badHeaders, 1u);

  // A frame with a bad FCS is not answered at all.
  size_t before = host.packets.size();
  Bytes hello = Hello();
  hello[5] ^= 1;
  host.Send(hello);
  EXPECT_EQ(host.packets.size(), before);
  EXPECT_EQ(module.Stats().badFrames, 1u);
}

TEST(TarnModuleCore, ConfiguredAnswers) {
  tarnsim::sModuleConfig config;
  config.openStatus = 1;
  config.writeStatus = 7;
  config.done = tarnsim::eDoneBehaviour::ErrorPacket;
  cTarnModule module(config);
  Host host{module};
  host.Send(Open(brisa::kTarnImageAmss, 8));
  EXPECT_EQ(brisa::TarnGetLe16(&host.Last()[1]), 1);
  EXPECT_TRUE(module.Images().empty()) << "a refused open records nothing";
  module.Config().openStatus = 0;
  host.Send(Open(brisa::kTarnImageAmss, 8));
  host.Send(Chunk(0, Bytes(8, 2)));
  EXPECT_EQ(brisa::TarnGetLe16(&host.Last()[7]), 7);
  host.Send(Done());
  EXPECT_EQ(host.Last()[0], 0x0D);
  EXPECT_EQ(host.actions.back().kind, Kind::Send);
}

// Each scripted fault on the open-unframed answer, as the host sees it.
TEST(TarnModuleCore, ResponseFaults) {
  const struct {
    eFaultKind kind;
    size_t packets;  // packets the host reassembles from the answer
    uint8_t code;    // first byte of the last one
    Kind action;     // the last action
    uint32_t delay;
  } cases[] = {
      {eFaultKind::Drop, 0, 0, Kind::Send, 0},
      {eFaultKind::Delay, 1, 0x26, Kind::Send, 250},
      {eFaultKind::Corrupt, 0, 0, Kind::Send, 0},
      {eFaultKind::ErrorPacket, 1, 0x0D, Kind::Send, 0},
      {eFaultKind::Silence, 0, 0, Kind::Send, 0},
      {eFaultKind::Disconnect, 0, 0, Kind::Disconnect, 0},
  };
  for (const auto& c : cases) {
    cTarnModule module;
    tarnsim::sFault f;
    f.kind = c.kind;
    f.request = 0x25;
    f.delayMs = 250;
    module.AddFault(f);
    Host host{module};
    host.Send(Hello());
    host.packets.clear();
    host.actions.clear();
    host.Send(Open(brisa::kTarnImageAmss, 100));
    SCOPED_TRACE(static_cast<int>(c.kind));
    ASSERT_EQ(host.packets.size(), c.packets);
    if (c.packets) EXPECT_EQ(host.Last()[0], c.code);
    if (c.kind == eFaultKind::Drop || c.kind == eFaultKind::Silence) {
      EXPECT_TRUE(host.actions.empty());
    } else {
      ASSERT_EQ(host.actions.size(), 1u);
      EXPECT_EQ(host.actions[0].kind, c.action);
      EXPECT_EQ(host.actions[0].delayMs, c.delay);
    }
    // Only the first open is affected, except that silence lasts.
    host.packets.clear();
    host.Send(Open(brisa::kTarnImageAmss, 100));
    EXPECT_EQ(host.packets.size(), c.kind == eFaultKind::Silence ? 0u : 1u);
  }
}

TEST(TarnModuleCore, ErrorPacketMidTransfer) {
  cTarnModule module;
  tarnsim::sFault f;
  ASSERT_TRUE(tarnsim::ParseFault("error:0x27:2:100", f));
  module.AddFault(f);
  Host host{module};
  host.Send(Open(brisa::kTarnImageAmss, 1000));
  host.Send(Chunk(0, Bytes(500, 3)));
  ASSERT_EQ(host.Last()[0], 0x28);

  // The second chunk: the error arrives after 100 data bytes, while the host is still writing.
  Bytes second = Chunk(1, Bytes(500, 4));
  host.packets.clear();
  host.Send(Bytes(second.begin(), second.begin() + 13 + 99));
  EXPECT_TRUE(host.packets.empty());
  host.Send(Bytes(second.begin() + 13 + 99, second.begin() + 13 + 101));
  ASSERT_EQ(host.packets.size(), 1u);
  EXPECT_EQ(host.Last()[0], 0x0D);
  EXPECT_TRUE(host.actions.back().holdLine) << "the module stops taking the chunk";
  host.Send(Bytes(second.begin() + 13 + 101, second.end()));
  EXPECT_EQ(host.packets.size(), 1u) << "the aborted chunk gets no answer";
  EXPECT_EQ(module.Images()[0].received, 500u);
  EXPECT_EQ(module.Stats().strayBytes, 0u);

  // The host may send the chunk again.
  host.Send(Chunk(1, Bytes(500, 4)));
  EXPECT_EQ(host.Last()[0], 0x28);
  EXPECT_TRUE(module.Images()[0].Complete());
}

TEST(TarnModuleCore, DisconnectMidTransferDropsTheRest) {
  cTarnModule module;
  tarnsim::sFault f;
  ASSERT_TRUE(tarnsim::ParseFault("disconnect:0x27:1:10", f));
  module.AddFault(f);
  Host host{module};
  host.Send(Open(brisa::kTarnImageAmss, 50));
  Bytes stream = Chunk(0, Bytes(50, 5));
  Bytes hello = Hello();
  stream.insert(stream.end(), hello.begin(), hello.end());
  host.actions.clear();
  host.Send(stream);
  ASSERT_EQ(host.actions.size(), 1u);
  EXPECT_EQ(host.actions[0].kind, Kind::Disconnect);
  EXPECT_EQ(module.Stats().hellos, 0u) << "bytes after the disconnect never arrived";
}

TEST(TarnModuleCore, ParseFault) {
  tarnsim::sFault f;
  ASSERT_TRUE(tarnsim::ParseFault("delay:0x01:2:500", f));
  EXPECT_EQ(f.kind, eFaultKind::Delay);
  EXPECT_EQ(f.request, 0x01);
  EXPECT_EQ(f.occurrence, 2u);
  EXPECT_EQ(f.delayMs, 500u);
  ASSERT_TRUE(tarnsim::ParseFault("silence:0", f));
  EXPECT_EQ(f.request, 0);
  EXPECT_EQ(f.occurrence, 1u);
  for (const char* bad : {"", "drop", "melt:0x25", "drop:0x125", "drop:x", "delay:1:2:3:4"})
    EXPECT_FALSE(tarnsim::ParseFault(bad, f)) << bad;
}

}  // namespace
