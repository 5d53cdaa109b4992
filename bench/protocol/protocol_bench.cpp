// Round trips through the protocol server to an in-process peer (median and 99th percentile),
// and attached data through the server to a pseudo-terminal next to a plain write loop of the
// same bytes to a pseudo-terminal of the same kind.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/protocol_server.h"
#include "win32emu/ports.h"
#include "win32emu/world.h"

namespace {

using namespace brisa;

// Writes blocks unframed; any received packet whose first byte is the request's | 0x80 answers.
class BenchServer : public cProtocolServer {
 public:
  ~BenchServer() override { StopWorker(); }

 protected:
  bool OnConnect() override {
    COMMTIMEOUTS timeouts = {2, 0, 0, 1000, 1};
    return SetCommTimeouts(comm.GetHandle(), &timeouts) != FALSE;
  }
  bool OnDisconnect() override { return true; }
  int Encode(const sProtocolRequest&, sSharedBuffer**) override { return 0; }
  bool Decode(DWORD bytes, DWORD* responseIndex, bool*) override {
    sProtocolBuffer packet(new sSharedBuffer(kTagReceived, bytes, RxBuffer()));
    DWORD index = protocolLog.Add(packet);
    const sTransaction* t = InFlight();
    if (t && t->responseArmed && packet.Data()[0] == (t->request.Data()[0] | 0x80)) {
      *responseIndex = index;
      return true;
    }
    return false;
  }
};

class EchoPeer : public win32emu::PortPeer {
 public:
  void OnOpen(win32emu::PortLink& l, const std::wstring&) override { link = &l; }
  void OnWrite(const void* data, size_t size) override {
    char answer = static_cast<char>(static_cast<const BYTE*>(data)[0] | 0x80);
    link->Push(&answer, 1);
  }
  void OnClose() override { link = nullptr; }
  win32emu::PortLink* link = nullptr;
};

// Waits until the queue holds `count` events; false on 10 s without progress.
bool WaitEvents(cEventQueue& queue, DWORD count) {
  while (queue.Total() < count) {
    if (WaitForSingleObject(queue.Event(), 10000) != WAIT_OBJECT_0) return false;
  }
  return true;
}

void BM_RoundTrip(benchmark::State& state) {
  std::string root = win32emu::MakeTemporaryWorld();
  win32emu::BindPort(L"COM3", std::make_shared<EchoPeer>());
  auto server = std::make_unique<BenchServer>();
  if (!server->Initialize() || !server->ConnectPort(L"COM3")) {
    state.SkipWithError("server did not start");
    return;
  }
  const BYTE packet[] = {0x01, 0x02, 0x03, 0x04};
  std::vector<double> micros;
  micros.reserve(100000);
  for (auto _ : state) {
    cEventQueue queue(12, true);
    cProtocolQueueNotification notification(&queue);
    sProtocolRequest request(1000, &notification, new sSharedBuffer(kTagSent, 4, packet));
    auto start = std::chrono::steady_clock::now();
    if (server->ScheduleRequest(request) == 0 || !WaitEvents(queue, 2)) {
      state.SkipWithError("round trip failed");
      break;
    }
    auto end = std::chrono::steady_clock::now();
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  if (!micros.empty()) {
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  }
  server.reset();
  win32emu::UnbindPort(L"COM3");
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_RoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

constexpr DWORD kTransfer = 8 * 1024 * 1024;

// Drains a pty master until `expected` bytes have arrived.
void Drain(int master, size_t expected) {
  std::vector<char> buffer(65536);
  size_t got = 0;
  while (got < expected) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return;
    ssize_t n = read(master, buffer.data(), buffer.size());
    if (n > 0) got += static_cast<size_t>(n);
  }
}

void BM_AttachedDataToPty(benchmark::State& state) {
  std::string root = win32emu::MakeTemporaryWorld();
  win32emu::PtyPair pty;
  if (!win32emu::OpenPtyPair(&pty)) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  win32emu::BindPortToDevice(L"COM4", pty.slavePath);
  auto server = std::make_unique<BenchServer>();
  if (!server->Initialize() || !server->ConnectPort(L"COM4")) {
    state.SkipWithError("server did not start");
    close(pty.master);
    return;
  }
  std::vector<BYTE> data(kTransfer, 0x5A);
  const BYTE header = 0x27;
  for (auto _ : state) {
    std::thread reader(Drain, pty.master, kTransfer + 1);
    cEventQueue queue(64, true);
    cProtocolQueueNotification notification(&queue);
    sProtocolRequest request(1000, &notification, new sSharedBuffer(kTagSent, 1, &header));
    request.attachedData = data.data();
    request.attachedLength = kTransfer;
    request.noResponse = 1;
    DWORD blocks = kTransfer / sTransaction::kBlockSize;
    bool ok = server->ScheduleRequest(request) != 0 && WaitEvents(queue, blocks + 1);
    reader.join();
    if (!ok) {
      state.SkipWithError("transfer failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kTransfer);
  server.reset();
  win32emu::UnbindPort(L"COM4");
  close(pty.master);
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_AttachedDataToPty)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same bytes in the same blocks, written straight to a raw pty slave.
void BM_PlainWriteLoopToPty(benchmark::State& state) {
  win32emu::PtyPair pty;
  if (!win32emu::OpenPtyPair(&pty)) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  int slave = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  std::vector<BYTE> data(kTransfer, 0x5A);
  for (auto _ : state) {
    std::thread reader(Drain, pty.master, kTransfer + 1);
    const BYTE header = 0x27;
    ssize_t w = write(slave, &header, 1);
    (void)w;
    for (size_t at = 0; at < kTransfer;) {
      size_t block = std::min<size_t>(sTransaction::kBlockSize, kTransfer - at);
      size_t done = 0;
      while (done < block) {
        ssize_t n = write(slave, data.data() + at + done, block - done);
        if (n > 0) done += static_cast<size_t>(n);
      }
      at += block;
    }
    reader.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kTransfer);
  close(slave);
  close(pty.master);
}
BENCHMARK(BM_PlainWriteLoopToPty)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
