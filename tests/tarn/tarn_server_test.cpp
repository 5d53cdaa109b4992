// cTarnProtocolServer against the module emulator: over an in-process port of the emulated
// world, and over a pseudo-terminal served by the tarn_module program.
#include "tarn/tarn_protocol_server.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <random>
#include <vector>

#include "protocol/protocol_buffers.h"
#include "sim/tarn/tarn_module_peer.h"
#include "tarn/tarn_records.h"
#include "tests/tarn/module_process.h"
#include "win32emu/ports.h"
#include "win32emu/world.h"

namespace brisa {
namespace {

using Bytes = std::vector<uint8_t>;

struct sOutcome {
  std::vector<sProtocolEvent> events;
  sProtocolBuffer response;
  // The code of the event that ended the request: 0, 2 or 3; 0xFF when none came in time.
  DWORD end = 0xFF;
  DWORD endValue = 0;
  DWORD progressBytes = 0;
};

// Schedules one request and collects its events until it ends.
sOutcome Exchange(cTarnProtocolServer& server, sSharedBuffer* block, DWORD timeout,
                  const Bytes* attached = nullptr, size_t offset = 0, DWORD length = 0) {
  sOutcome out;
  cEventQueue queue(12, true);
  cProtocolQueueNotification notification(&queue);
  sProtocolRequest request(timeout, &notification, block);
  if (attached) {
    request.attachedData = attached->data() + offset;
    request.attachedLength = length;
  }
  DWORD id = server.ScheduleRequest(request);
  EXPECT_NE(id, 0u);
  if (id == 0) return out;
  DWORD next = 0;
  while (out.end == 0xFF) {
    // Bounded: every request ends by its own time-out long before this.
    if (WaitForSingleObject(queue.Event(), timeout + 10000) != WAIT_OBJECT_0) break;
    for (; next < queue.Total(); ++next) {
      sProtocolEvent e;
      if (!queue.Get(next, e)) {
        ADD_FAILURE() << "event " << next << " lost";
        continue;
      }
      out.events.push_back(e);
      if (e.event == kEventAttachedProgress) out.progressBytes += e.value;
      if (e.event == kEventRequestError || e.event == kEventResponseError ||
          e.event == kEventResponseReceived) {
        out.end = e.event;
        out.endValue = e.value;
        if (e.event == kEventResponseReceived) out.response = server.GetProtocolLog().Get(e.value);
      }
    }
  }
  if (out.end == 0xFF) server.CancelRequest(id);
  return out;
}

Bytes Image(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Sends one image the way a download does: open-unframed, then the chunks with their data.
void SendImage(cTarnProtocolServer& server, BYTE type, const Bytes& image) {
  sOutcome o =
      Exchange(server, BuildTarnOpenUnframed(type, static_cast<DWORD>(image.size())), 2000);
  ASSERT_EQ(o.end, kEventResponseReceived);
  sTarnOpenUnframed open(o.response);
  ASSERT_TRUE(open.IsValid());
  ASSERT_EQ(open.Status(), 0);
  std::vector<sProtocolBuffer> headers;
  ASSERT_TRUE(BuildTarnChunkList(static_cast<DWORD>(image.size()), open.ChunkSize(), headers));
  size_t offset = 0;
  for (auto& header : headers) {
    DWORD length = TarnGetLe32(header.Data() + 7);
    o = Exchange(server, header.buffer, 4000, &image, offset, length);
    ASSERT_EQ(o.end, kEventResponseReceived) << "chunk at " << offset;
    EXPECT_EQ(o.progressBytes, length);
    sTarnWriteUnframed written(o.response);
    ASSERT_TRUE(written.IsValid());
    EXPECT_EQ(written.Status(), 0);
    offset += length;
  }
}

class TarnServer : public testing::Test {
 protected:
  void SetUp() override { win32emu::SetWorldRoot(win32emu::MakeTemporaryWorld()); }
  void TearDown() override {
    server.reset();
    win32emu::UnbindPort(L"COM7");
    win32emu::UnbindPort(L"COM8");
  }
  // A started server connected to `port` as a download connects to it.
  bool Connect(const wchar_t* port) {
    server = std::make_unique<cTarnProtocolServer>();
    std::wstring name = std::wstring(port) + L"\\TarnService";
    return server->Initialize() && server->ConnectPort(name.c_str());
  }
  std::unique_ptr<cTarnProtocolServer> server;
};

TEST_F(TarnServer, DownloadThroughAnInProcessPort) {
  tarnsim::sModuleConfig config;
  config.firmwareSet = 4;
  config.imageVersion = 0x0100;
  config.chunkSize = 300000;  // chunks of more than one 262144-byte block
  auto module = tarnsim::cTarnModulePeer::Bind(L"COM7", config);
  ASSERT_TRUE(Connect(L"COM7"));

  EXPECT_EQ(module->FileName(), L"\\TarnService");
  DCB dcb = module->Settings();
  EXPECT_EQ(dcb.fOutX | dcb.fInX | dcb.fErrorChar | dcb.fAbortOnError, 0u);
  EXPECT_EQ(dcb.ByteSize, 8);
  COMMTIMEOUTS t = module->Timeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 2u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 1000u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1u);

  sOutcome o = Exchange(*server, BuildTarnHello(), 10000);
  ASSERT_EQ(o.end, kEventResponseReceived);
  EXPECT_EQ(o.events.front().event, kEventRequestSent);
  sTarnHello hello(o.response);
  ASSERT_TRUE(hello.IsValid());
  EXPECT_EQ(hello.Code(), kTarnHelloResponse);
  EXPECT_EQ(hello.ConfiguredFirmware(), 4u);
  EXPECT_EQ(hello.ImageVersion(), 0x0100);

  // Image bytes include flags and escapes: they must pass raw, unstuffed.
  Bytes amss = Image(700000, 1), apps = Image(1000, 2);
  for (size_t i = 0; i < amss.size(); i += 97) amss[i] = (i & 1) ? 0x7E : 0x7D;
  SendImage(*server, kTarnImageAmss, amss);
  SendImage(*server, kTarnImageApps, apps);

  auto images = module->Images();
  ASSERT_EQ(images.size(), 2u);
  EXPECT_TRUE(images[0].Complete());
  EXPECT_EQ(images[0].chunks, 3u);
  EXPECT_EQ(images[0].digest, tarnsim::Fnv1a64(amss.data(), amss.size()));
  EXPECT_EQ(images[1].digest, tarnsim::Fnv1a64(apps.data(), apps.size()));
  EXPECT_EQ(module->Stats().badFrames + module->Stats().badHeaders, 0u);

  // The module restarts without answering: the done request ends by its time-out, and the port
  // goes away with the module.
  o = Exchange(*server, BuildTarnDone(), 500);
  EXPECT_EQ(o.end, kEventResponseError);
  EXPECT_EQ(o.endValue, 0u);
  EXPECT_TRUE(module->WaitLeft(5000));
  server->DisconnectPort();
  EXPECT_FALSE(server->ConnectPort(L"COM7\\TarnService"));
}

// What each scripted misbehaviour of the module does to the request in flight.
TEST_F(TarnServer, ModuleFaults) {
  enum eRequest { kHello, kDone, kChunk };
  const struct {
    const char* name;
    const char* fault;  // empty: none
    eRequest request;
    DWORD timeout;
    bool doneAnswersError;
    DWORD end;
    BYTE responseCode;
    int received;  // packets from the module in the protocol log at the end; -1: not checked
  } cases[] = {
      {"answered", "", kHello, 2000, false, kEventResponseReceived, 0x02, 1},
      {"dropped", "drop:0x01", kHello, 300, false, kEventResponseError, 0, 0},
      {"corrupted", "corrupt:0x01", kHello, 300, false, kEventResponseError, 0, 0},
      {"late but in time", "delay:0x01:1:200", kHello, 3000, false, kEventResponseReceived, 0x02,
       1},
      {"too late", "delay:0x01:1:1500", kHello, 300, false, kEventResponseError, 0, -1},
      // Once the hello is written, an error packet is no answer and aborts nothing.
      {"error after writing", "error:0x01", kHello, 300, false, kEventResponseError, 0, 1},
      {"silent", "silence:0", kHello, 300, false, kEventResponseError, 0, 0},
      // The line drops once the hello has arrived: the request ends by its time-out.
      {"line dropped", "disconnect:0x01", kHello, 300, false, kEventResponseError, 0, 0},
      {"done refused", "", kDone, 500, true, kEventResponseReceived, 0x0D, 1},
      // An error packet while the chunk's data is still being written aborts it.
      {"error mid-transfer", "error:0x27:1:1000", kChunk, 4000, false, kEventRequestError, 0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tarnsim::sModuleConfig config;
    if (c.doneAnswersError) config.done = tarnsim::eDoneBehaviour::ErrorPacket;
    auto module = tarnsim::cTarnModulePeer::Bind(L"COM7", config);
    tarnsim::sFault fault;
    if (*c.fault) {
      ASSERT_TRUE(tarnsim::ParseFault(c.fault, fault));
      module->AddFault(fault);
    }
    ASSERT_TRUE(Connect(L"COM7"));
    sOutcome o;
    Bytes image = Image(600000, 3);
    if (c.request == kHello) {
      o = Exchange(*server, BuildTarnHello(), c.timeout);
    } else if (c.request == kDone) {
      o = Exchange(*server, BuildTarnDone(), c.timeout);
    } else {
      ASSERT_EQ(Exchange(*server, BuildTarnOpenUnframed(kTarnImageNvpk, 600000), 2000).end,
                kEventResponseReceived);
      o = Exchange(*server, BuildTarnWriteUnframedHeader(600000, 0), c.timeout, &image, 0, 600000);
    }
    EXPECT_EQ(o.end, c.end);
    if (c.received >= 0) {
      // A frame that fails its check never reaches the log; every checked one does.
      int received = 0;
      cProtocolLog& log = server->GetProtocolLog();
      for (DWORD i = 0; i < log.Count(); ++i) received += log.Get(i).Tag() == kTagReceived;
      EXPECT_EQ(received, c.received);
    }
    if (c.end == kEventResponseReceived) {
      ASSERT_TRUE(o.response.IsValid());
      EXPECT_EQ(o.response.Data()[0], c.responseCode);
    }
    if (c.request == kChunk) {
      EXPECT_EQ(module->Images().at(0).received, 0u);
      // The line is usable again after the abort.
      EXPECT_EQ(Exchange(*server, BuildTarnHello(), 2000).end, kEventResponseReceived);
    }
    server.reset();
    win32emu::UnbindPort(L"COM7");
  }
}

// Framing may double a packet; one whose frame no longer fits a block cannot be sent, while
// the same length without bytes to escape goes out.
TEST_F(TarnServer, PacketsWhoseFrameExceedsABlockFail) {
  auto module = tarnsim::cTarnModulePeer::Bind(L"COM7");
  ASSERT_TRUE(Connect(L"COM7"));
  Bytes escaped(9000, 0x7E), plain(9000, 0x55);
  escaped[0] = plain[0] = 0x42;  // not a request the module knows: it answers an error packet
  sOutcome o = Exchange(*server, new sSharedBuffer(kTagSent, 9000, escaped.data()), 300);
  EXPECT_EQ(o.end, kEventRequestError);
  o = Exchange(*server, new sSharedBuffer(kTagSent, 9000, plain.data()), 300);
  ASSERT_FALSE(o.events.empty());
  EXPECT_EQ(o.events.front().event, kEventRequestSent);
  EXPECT_EQ(o.end, kEventResponseError) << "a packet without a recognised answer times out";
  EXPECT_EQ(module->Stats().unknown, 1u);
}

#ifdef TARN_MODULE_PROGRAM
TEST_F(TarnServer, DownloadThroughAPseudoTerminal) {
  cModuleProcess program({"--firmware", "9", "--chunk-size", "4096"});
  ASSERT_FALSE(program.slavePath.empty());
  win32emu::BindPortToDevice(L"COM8", program.slavePath);
  ASSERT_TRUE(Connect(L"COM8"));

  sOutcome o = Exchange(*server, BuildTarnHello(), 10000);
  ASSERT_EQ(o.end, kEventResponseReceived);
  EXPECT_EQ(sTarnHello(o.response).ConfiguredFirmware(), 9u);
  Bytes image = Image(10000, 4);
  image[4095] = 0x7E;  // the last byte of a chunk is a flag
  SendImage(*server, kTarnImageNvpk, image);
  o = Exchange(*server, BuildTarnDone(), 500);
  EXPECT_EQ(o.end, kEventResponseError);

  std::string report = program.Finish();
  char expected[160];
  std::snprintf(expected, sizeof(expected),
                "image type=13 announced=10000 received=10000 chunks=3 fnv64=%016" PRIx64,
                tarnsim::Fnv1a64(image.data(), image.size()));
  EXPECT_NE(report.find(expected), std::string::npos) << report;
  EXPECT_NE(report.find("end left"), std::string::npos) << report;
}

// Across a pseudo-terminal the program cannot see the host purge a chunk it refused in the middle:
// it holds the line off, takes it back once it has gone quiet, and answers the host's next
// request.
TEST_F(TarnServer, ErrorMidTransferThroughAPseudoTerminal) {
  cModuleProcess program({"--fault", "error:0x27:1:1000"});
  ASSERT_FALSE(program.slavePath.empty());
  win32emu::BindPortToDevice(L"COM8", program.slavePath);
  ASSERT_TRUE(Connect(L"COM8"));

  ASSERT_EQ(Exchange(*server, BuildTarnOpenUnframed(kTarnImageNvpk, 600000), 2000).end,
            kEventResponseReceived);
  Bytes image = Image(600000, 5);
  sOutcome o = Exchange(*server, BuildTarnWriteUnframedHeader(600000, 0), 4000, &image, 0, 600000);
  EXPECT_EQ(o.end, kEventRequestError);
  // The host's next request comes after a pause; the program says when it listens again.
  ASSERT_TRUE(program.WaitLine("resumed", 5000));
  o = Exchange(*server, BuildTarnHello(), 2000);
  ASSERT_EQ(o.end, kEventResponseReceived);
  EXPECT_EQ(sTarnHello(o.response).Code(), kTarnHelloResponse);
  EXPECT_EQ(Exchange(*server, BuildTarnDone(), 500).end, kEventResponseError);

  std::string report = program.Finish();
  EXPECT_NE(report.find("image type=13 announced=600000 received=0 chunks=0"), std::string::npos)
      << report;
  EXPECT_NE(report.find("hellos=1 "), std::string::npos) << report;
  EXPECT_NE(report.find("end left"), std::string::npos) << report;
}
#endif

}  // namespace
}  // namespace brisa
