// The protocol server end to end against an in-process port: transmission, attached data in
// blocks, response matching, time-outs, cancel, repetition, the clock and the worker's life.
#include <windows.h>

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"
#include "protocol/protocol_server.h"
#include "win32emu/world.h"

namespace brisa {
namespace {

constexpr BYTE kErrorPacket = 0xEE;

// Writes each request's block as it is; a received packet whose first byte is the request's
// with the top bit set answers it, and one starting with 0xEE is an error packet.
class TestServer : public cProtocolServer {
 public:
  ~TestServer() override { StopWorker(); }
  using cProtocolServer::nextId;
  using cProtocolServer::txTag;
  HANDLE holdConnect = nullptr;  // OnConnect waits for it when set
  // Runs on the client inside ScheduleRequest, while the client holds the server.
  std::function<void()> onValidate;

 protected:
  bool IsRequestValid(const sProtocolRequest& request) override {
    if (onValidate) onValidate();
    return cProtocolServer::IsRequestValid(request);
  }
  bool OnConnect() override {
    if (holdConnect) WaitForSingleObject(holdConnect, INFINITE);
    COMMTIMEOUTS timeouts = {2, 0, 0, 1000, 1};
    return SetCommTimeouts(comm.GetHandle(), &timeouts) != FALSE;
  }
  bool OnDisconnect() override { return true; }
  int Encode(const sProtocolRequest&, sSharedBuffer**) override { return 0; }
  bool Decode(DWORD bytes, DWORD* responseIndex, bool* errorPacket) override {
    sProtocolBuffer packet(new sSharedBuffer(kTagReceived, bytes, RxBuffer()));
    DWORD index = protocolLog.Add(packet);
    BYTE first = packet.Data()[0];
    if (first == kErrorPacket) {
      *errorPacket = true;
      return false;
    }
    const sTransaction* t = InFlight();
    if (t && t->responseArmed && t->request.IsValid() && first == (t->request.Data()[0] | 0x80)) {
      *responseIndex = index;
      return true;
    }
    return false;
  }
};

// A client's side of one or more requests: the event queue and its notification.
struct Client {
  cEventQueue queue{64, true};
  cProtocolQueueNotification notification{&queue};

  // Waits (at most 10 s) until `count` events have arrived; returns all of them.
  std::vector<sProtocolEvent> WaitEvents(DWORD count) {
    ULONGLONG deadline = GetTickCount64() + 10000;
    while (queue.Total() < count && GetTickCount64() < deadline) {
      WaitForSingleObject(queue.Event(), 100);
    }
    return Events();
  }
  std::vector<sProtocolEvent> Events() {
    std::vector<sProtocolEvent> events;
    sProtocolEvent e;
    for (DWORD i = 0; queue.Get(i, e); ++i) events.push_back(e);
    return events;
  }
};

sProtocolRequest Request(const std::string& bytes, const cProtocolNotification* notification,
                         DWORD timeout = 1000, DWORD tag = kTagSent) {
  auto* block = new sSharedBuffer(tag, static_cast<DWORD>(bytes.size()), bytes.data());
  sProtocolRequest request(timeout, notification, block);
  if (!request.IsValid()) delete block;  // no view took it
  return request;
}

class ProtocolServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = win32emu::MakeTemporaryWorld();
    peer = std::make_shared<test::ScriptedPeer>();
    win32emu::BindPort(L"COM7", peer);
    server = std::make_unique<TestServer>();
    ASSERT_TRUE(server->Initialize());
    ASSERT_TRUE(server->ConnectPort(L"COM7\\TarnService"));
  }
  void TearDown() override {
    server.reset();
    win32emu::UnbindPort(L"COM7");
    win32emu::SetClockOffset(0);
    std::filesystem::remove_all(root);
  }
  // Answers as the module would once the client has seen its request sent (the `sent`-th
  // event): the answer cannot then overtake the server's own end of the write.
  std::vector<sProtocolEvent> AnswerWhenSent(Client& client, DWORD sent, BYTE request) {
    std::vector<sProtocolEvent> events = client.WaitEvents(sent);
    if (events.size() == sent && events.back().event == kEventRequestSent) {
      peer->Push(std::string(1, static_cast<char>(request | 0x80)));
    }
    return client.WaitEvents(sent + 1);
  }
  std::string root;
  std::shared_ptr<test::ScriptedPeer> peer;
  std::unique_ptr<TestServer> server;
};

bool Is(const sProtocolEvent& e, DWORD event, DWORD id, DWORD value) {
  return e.event == event && e.requestId == id && e.value == value;
}

TEST_F(ProtocolServerTest, RequestAndResponseGoThroughTheLog) {
  EXPECT_EQ(peer->FileName(), L"\\TarnService");
  Client client;
  DWORD id = server->ScheduleRequest(Request("\x01\x02", &client.notification));
  ASSERT_EQ(id, 2u);  // the first id after construction
  auto events = AnswerWhenSent(client, 1, 0x01);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(Is(events[0], kEventRequestSent, id, 0));
  EXPECT_TRUE(Is(events[1], kEventResponseReceived, id, 1));
  sProtocolBuffer sent = server->GetProtocolLog().Get(0);
  sProtocolBuffer answer = server->GetProtocolLog().Get(1);
  ASSERT_TRUE(sent.IsValid());
  ASSERT_TRUE(answer.IsValid());
  EXPECT_EQ(sent.Tag(), kTagSent);
  EXPECT_EQ(answer.Tag(), kTagReceived);
  EXPECT_EQ(answer.Data()[0], 0x81);
  EXPECT_EQ(peer->Received(), "\x01\x02");
}

TEST_F(ProtocolServerTest, AttachedDataLeavesInBlocksAfterThePacket) {
  struct Case {
    DWORD length;
    std::vector<DWORD> blocks;
  } cases[] = {
      {600000, {262144, 262144, 75712}},
      {524288, {262144, 262144}},
      {262144, {262144}},
      {1000, {1000}},
  };
  size_t before = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    std::vector<BYTE> data(c.length);
    for (DWORD i = 0; i < c.length; ++i) data[i] = static_cast<BYTE>(i * 7 + c.length);
    Client client;
    sProtocolRequest request = Request("\x27\x01\x02", &client.notification, 4000);
    request.attachedData = data.data();
    request.attachedLength = c.length;
    DWORD id = server->ScheduleRequest(request);
    ASSERT_NE(id, 0u);
    auto events = AnswerWhenSent(client, static_cast<DWORD>(c.blocks.size()) + 1, 0x27);
    ASSERT_EQ(events.size(), c.blocks.size() + 2);
    for (size_t b = 0; b < c.blocks.size(); ++b) {
      EXPECT_TRUE(Is(events[b], kEventAttachedProgress, id, c.blocks[b])) << b;
    }
    EXPECT_EQ(events[c.blocks.size()].event, kEventRequestSent);
    EXPECT_EQ(events[c.blocks.size() + 1].event, kEventResponseReceived);
    std::string received = peer->Received().substr(before);
    ASSERT_EQ(received.size(), 3 + c.length);
    EXPECT_EQ(received.substr(0, 3), std::string("\x27\x01\x02", 3));
    EXPECT_EQ(0, memcmp(received.data() + 3, data.data(), c.length));
    before += received.size();
  }
}

TEST_F(ProtocolServerTest, AnErrorPacketDuringAttachedDataAbortsTheRequest) {
  std::vector<BYTE> data(600000, 0x55);
  // Holds the line after the packet so that the first block is still being written when the
  // module's error packet arrives.
  peer->SetScript([](const std::string& received, win32emu::PortLink& link) {
    if (received.size() == 1) {
      link.Stall(true);
      char error = static_cast<char>(kErrorPacket);
      link.Push(&error, 1);
    }
  });
  Client client;
  sProtocolRequest request = Request("\x27", &client.notification, 4000);
  request.attachedData = data.data();
  request.attachedLength = static_cast<DWORD>(data.size());
  DWORD id = server->ScheduleRequest(request);
  ASSERT_NE(id, 0u);
  auto events = client.WaitEvents(1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(Is(events[0], kEventRequestError, id, 0));
  EXPECT_TRUE(peer->Purges() & PURGE_TXABORT);
  peer->SetScript(nullptr);
  peer->Stall(false);

  // The port is usable again once the aborted write has ended.
  Client next;
  DWORD second = server->ScheduleRequest(Request("\x05", &next.notification));
  auto after = AnswerWhenSent(next, 1, 0x05);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_TRUE(Is(after[0], kEventRequestSent, second, after[0].value));
  EXPECT_EQ(after[1].event, kEventResponseReceived);
  EXPECT_EQ(client.queue.Total(), 1u);
}

TEST_F(ProtocolServerTest, CancelEndsARequestWhereverItIs) {
  // Queued: silent.
  Client queued;
  DWORD waiting = server->ScheduleRequest([&] {
    sProtocolRequest r = Request("\x10", &queued.notification);
    r.delay = 60000;
    return r;
  }());
  ASSERT_NE(waiting, 0u);
  EXPECT_TRUE(server->CancelRequest(waiting));
  EXPECT_FALSE(server->CancelRequest(waiting));

  // Awaiting its response: event 2 with 995.
  Client answered;
  DWORD awaiting = server->ScheduleRequest(Request("\x11", &answered.notification, 300000));
  ASSERT_EQ(answered.WaitEvents(1).size(), 1u);
  EXPECT_TRUE(server->CancelRequest(awaiting));
  auto events = answered.WaitEvents(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(Is(events[1], kEventResponseError, awaiting, ERROR_OPERATION_ABORTED));

  // Still being written (the line is held after the packet, during the attached data): event 0
  // with 995, and the output is purged.
  size_t sentBefore = peer->Received().size();
  peer->SetScript([sentBefore](const std::string& received, win32emu::PortLink& link) {
    if (received.size() == sentBefore + 1) link.Stall(true);
  });
  std::vector<BYTE> data(300000, 0x66);
  Client writing;
  sProtocolRequest big = Request("\x12", &writing.notification);
  big.attachedData = data.data();
  big.attachedLength = static_cast<DWORD>(data.size());
  DWORD held = server->ScheduleRequest(big);
  peer->WaitReceived(sentBefore + 1);
  EXPECT_TRUE(server->CancelRequest(held));
  events = writing.WaitEvents(1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(Is(events[0], kEventRequestError, held, ERROR_OPERATION_ABORTED));
  EXPECT_TRUE(peer->Purges() & PURGE_TXABORT);
  peer->Stall(false);

  // The next request goes out normally, and the cancelled ones never report again.
  peer->SetScript(nullptr);
  Client after;
  DWORD next = server->ScheduleRequest(Request("\x13", &after.notification));
  events = AnswerWhenSent(after, 1, 0x13);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].event, kEventResponseReceived);
  EXPECT_EQ(events[1].requestId, next);
  EXPECT_EQ(queued.queue.Total(), 0u);
  EXPECT_EQ(answered.queue.Total(), 2u);
  EXPECT_EQ(writing.queue.Total(), 1u);
  EXPECT_EQ(peer->Received().find('\x10'), std::string::npos);
}

TEST_F(ProtocolServerTest, SchedulingRefusalsAndIdWrap) {
  Client client;
  EXPECT_EQ(server->ScheduleRequest(Request("\x01", &client.notification, 1000, kTagReceived)), 0u);
  EXPECT_EQ(server->ScheduleRequest(Request("", &client.notification)), 0u);
  EXPECT_EQ(server->ScheduleRequest(sProtocolRequest(1000, nullptr, nullptr)), 0u);

  server.reset();
  server = std::make_unique<TestServer>();
  server->nextId = 0xFFFFFFFEu;  // before the worker exists
  ASSERT_TRUE(server->Initialize());
  ASSERT_TRUE(server->ConnectPort(L"COM7"));
  auto later = [&] {
    sProtocolRequest r = Request("\x01", &client.notification);
    r.delay = 60000;
    return r;
  };
  EXPECT_EQ(server->ScheduleRequest(later()), 0xFFFFFFFFu);
  EXPECT_EQ(server->ScheduleRequest(later()), 1u);
  EXPECT_EQ(server->ScheduleRequest(later()), 2u);
}

TEST_F(ProtocolServerTest, ResponseTimeoutAndRepetition) {
  Client silent;
  DWORD id = server->ScheduleRequest(Request("\x01", &silent.notification, 100));
  auto events = silent.WaitEvents(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(Is(events[0], kEventRequestSent, id, 0));
  EXPECT_TRUE(Is(events[1], kEventResponseError, id, 0));

  Client repeated;
  sProtocolRequest request = Request("\x02", &repeated.notification);
  request.repeatCount = 3;
  request.repeatInterval = 10;
  request.noResponse = 1;
  DWORD again = server->ScheduleRequest(request);
  events = repeated.WaitEvents(3);
  ASSERT_EQ(events.size(), 3u);
  for (const auto& e : events) EXPECT_EQ(e.event, kEventRequestSent);
  EXPECT_EQ(peer->WaitReceived(4), "\x01\x02\x02\x02");
  EXPECT_FALSE(server->CancelRequest(again));  // finished after its third transmission
}

TEST_F(ProtocolServerTest, ClockSetBackDoesNotDelayQueuedRequests) {
  Client client;
  sProtocolRequest request = Request("\x03", &client.notification);
  request.delay = 30000;
  DWORD id = server->ScheduleRequest(request);
  ASSERT_NE(id, 0u);
  win32emu::MoveClock(-36000000000LL);  // one hour back
  auto events = AnswerWhenSent(client, 1, 0x03);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(Is(events[0], kEventRequestSent, id, 0));
  EXPECT_EQ(events[1].event, kEventResponseReceived);
}

TEST_F(ProtocolServerTest, DisconnectEndsTheRequestInFlightAndStopDropsTheQueue) {
  Client client;
  DWORD id = server->ScheduleRequest(Request("\x01", &client.notification, 300000));
  ASSERT_EQ(client.WaitEvents(1).size(), 1u);
  EXPECT_TRUE(server->DisconnectPort());
  auto events = client.WaitEvents(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(Is(events[1], kEventResponseError, id, ERROR_OPERATION_ABORTED));
  EXPECT_EQ(peer->Closes(), 1);

  ASSERT_TRUE(server->ConnectPort(L"COM7"));
  Client queued;
  sProtocolRequest later = Request("\x02", &queued.notification);
  later.delay = 60000;
  DWORD waiting = server->ScheduleRequest(later);
  ASSERT_NE(waiting, 0u);
  EXPECT_TRUE(server->StopWorker());
  EXPECT_EQ(server->GetProtocolLog().Count(), 0u);
  EXPECT_FALSE(server->CancelRequest(waiting));  // no worker
  ASSERT_TRUE(server->Initialize());
  EXPECT_FALSE(server->CancelRequest(waiting));  // dropped with the old worker
  EXPECT_FALSE(server->Initialize());            // one worker at a time
  EXPECT_EQ(queued.queue.Total(), 0u);
}

TEST_F(ProtocolServerTest, AnOperationThatTimesOutLeavesTheServerUsable) {
  server.reset();
  HANDLE hold = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  server = std::make_unique<TestServer>();
  server->holdConnect = hold;
  ASSERT_TRUE(server->Initialize());
  ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(server->ConnectPort(L"COM7"));  // the worker is stuck in OnConnect
  EXPECT_GE(GetTickCount64() - start, 9900u);
  SetEvent(hold);
  // The late completion of the connect must not be taken for the next command's.
  Client client;
  DWORD id = server->ScheduleRequest(Request("\x04", &client.notification));
  ASSERT_NE(id, 0u);
  auto events = AnswerWhenSent(client, 1, 0x04);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].event, kEventResponseReceived);
  EXPECT_TRUE(server->StopWorker());
  CloseHandle(hold);
}

}  // namespace
}  // namespace brisa

namespace brisa {
namespace {

TEST_F(ProtocolServerTest, StopWorkerEndsAWorkerStuckInACall) {
  server.reset();
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  server = std::make_unique<TestServer>();
  server->holdConnect = never;
  ASSERT_TRUE(server->Initialize());
  EXPECT_FALSE(server->ConnectPort(L"COM7"));
  // The worker never comes back from OnConnect: it is ended by force, and a new one can start.
  EXPECT_TRUE(server->StopWorker());
  EXPECT_EQ(server->GetWorkerId(), 0u);
  server->holdConnect = nullptr;
  ASSERT_TRUE(server->Initialize());
  ASSERT_TRUE(server->ConnectPort(L"COM7"));
  Client client;
  DWORD id = server->ScheduleRequest(Request("\x06", &client.notification));
  auto events = AnswerWhenSent(client, 1, 0x06);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(Is(events[1], kEventResponseReceived, id, events[1].value));
  server.reset();
  CloseHandle(never);
}

}  // namespace
}  // namespace brisa

namespace brisa {
namespace {

// A client that holds the server longer than a stop waits for it: the stop ends the worker by
// force and says so, and the client then finds no worker rather than a handle being closed.
TEST_F(ProtocolServerTest, StopWorkerEndsTheWorkerWhileAClientHoldsTheServer) {
  Client answered;
  ASSERT_NE(server->ScheduleRequest(Request("\x0A", &answered.notification)), 0u);
  ASSERT_EQ(AnswerWhenSent(answered, 1, 0x0A).size(), 2u);
  Client queued;
  sProtocolRequest later = Request("\x0B", &queued.notification);
  later.delay = 60000;
  ASSERT_NE(server->ScheduleRequest(later), 0u);

  std::atomic<bool> holding{false}, stopped{false};
  server->onValidate = [&] {
    holding.store(true);
    // Relaxed: the client learns that the stop is over without being ordered after it, so what
    // it reads of the server next must be safe by itself.
    while (!stopped.load(std::memory_order_relaxed)) std::this_thread::yield();
  };
  Client stuck;
  DWORD stuckId = 1;
  std::thread client(
      [&] { stuckId = server->ScheduleRequest(Request("\x0C", &stuck.notification)); });
  while (!holding.load()) std::this_thread::yield();
  win32emu::SetTimeScale(10);  // the stop's 10 s wait for the server
  EXPECT_FALSE(server->StopWorker());
  win32emu::SetTimeScale(1);
  stopped.store(true, std::memory_order_relaxed);
  EXPECT_EQ(server->GetWorkerId(), 0u);
  EXPECT_EQ(server->GetProtocolLog().Count(), 0u);  // the ended worker's requests went with it
  client.join();
  server->onValidate = nullptr;
  EXPECT_EQ(stuckId, 0u);

  ASSERT_TRUE(server->Initialize());
  ASSERT_TRUE(server->ConnectPort(L"COM7"));
  Client next;
  ASSERT_NE(server->ScheduleRequest(Request("\x0D", &next.notification)), 0u);
  EXPECT_EQ(AnswerWhenSent(next, 1, 0x0D).size(), 2u);
  EXPECT_EQ(queued.queue.Total(), 0u);
  EXPECT_EQ(stuck.queue.Total(), 0u);
}

TEST_F(ProtocolServerTest, FailedPlatformCallsEndTheRequestWithItsEvent) {
  constexpr DWORD kNoMemory = 8;
  struct Case {
    const char* api;
    int skip;
    DWORD attached;
    std::vector<std::pair<DWORD, DWORD>> events;  // event, value
  } cases[] = {
      {"WriteFileEx", 0, 0, {{kEventRequestError, 0}}},
      {"WriteFileEx", 1, 1000, {{kEventRequestError, 0}}},
      {"SetWaitableTimer", 1, 0, {{kEventRequestSent, 0}, {kEventResponseError, kNoMemory}}},
  };
  std::vector<BYTE> data(1000, 0x11);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.api) + " after " + std::to_string(c.skip));
    Client client;
    sProtocolRequest request = Request("\x07", &client.notification);
    if (c.attached) {
      request.attachedData = data.data();
      request.attachedLength = c.attached;
    }
    win32emu::InjectFailure(c.api, kNoMemory, c.skip, 1);
    DWORD id = server->ScheduleRequest(request);
    ASSERT_NE(id, 0u);
    auto events = client.WaitEvents(static_cast<DWORD>(c.events.size()));
    win32emu::ClearFailures();
    ASSERT_EQ(events.size(), c.events.size());
    for (size_t i = 0; i < events.size(); ++i) {
      EXPECT_EQ(events[i].event, c.events[i].first) << i;
      if (events[i].event != kEventRequestSent) EXPECT_EQ(events[i].value, c.events[i].second);
    }
  }
  // A command that cannot be handed over fails at once and leaves nothing pending.
  win32emu::InjectFailure("QueueUserAPC", kNoMemory, 0, 1);
  Client refused;
  EXPECT_EQ(server->ScheduleRequest(Request("\x08", &refused.notification)), 0u);
  win32emu::ClearFailures();
  Client accepted;
  DWORD id = server->ScheduleRequest(Request("\x08", &accepted.notification));
  ASSERT_NE(id, 0u);
  EXPECT_EQ(AnswerWhenSent(accepted, 1, 0x08).size(), 2u);
}

TEST(ProtocolServerSetupTest, MissingHandlesOrThreadRefuseToStart) {
  for (const char* api : {"CreateWaitableTimerW", "CreateThread"}) {
    SCOPED_TRACE(api);
    win32emu::InjectFailure(api, 8, 0, 1);
    TestServer server;
    EXPECT_FALSE(server.Initialize());
    win32emu::ClearFailures();
    EXPECT_FALSE(server.ConnectPort(L"COM7"));  // no worker
    if (std::string(api) == "CreateThread") EXPECT_TRUE(server.Initialize());
  }
}

}  // namespace
}  // namespace brisa

namespace brisa {
namespace {

// Reads from a pty master until `size` bytes have come (at most 10 s).
std::string ReadMaster(int master, size_t size) {
  std::string got;
  ULONGLONG deadline = GetTickCount64() + 10000;
  while (got.size() < size && GetTickCount64() < deadline) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n > 0) got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

TEST(ProtocolServerPtyTest, RoundTripWithAttachedDataOverAPseudoTerminal) {
  std::string root = win32emu::MakeTemporaryWorld();
  win32emu::PtyPair pty;
  ASSERT_TRUE(win32emu::OpenPtyPair(&pty));
  win32emu::BindPortToDevice(L"COM9", pty.slavePath);
  {
    TestServer server;
    ASSERT_TRUE(server.Initialize());
    ASSERT_TRUE(server.ConnectPort(L"COM9\\TarnService"));
    std::vector<BYTE> data(300000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 13);
    Client client;
    sProtocolRequest request = Request("\x27", &client.notification, 4000);
    request.attachedData = data.data();
    request.attachedLength = static_cast<DWORD>(data.size());
    DWORD id = server.ScheduleRequest(request);
    ASSERT_NE(id, 0u);
    std::string line = ReadMaster(pty.master, 1 + data.size());
    ASSERT_EQ(line.size(), 1 + data.size());
    EXPECT_EQ(line[0], '\x27');
    EXPECT_EQ(0, memcmp(line.data() + 1, data.data(), data.size()));
    auto events = client.WaitEvents(3);  // two blocks, then sent
    ASSERT_EQ(events.size(), 3u);
    EXPECT_TRUE(Is(events[0], kEventAttachedProgress, id, 262144));
    EXPECT_TRUE(Is(events[1], kEventAttachedProgress, id, 300000 - 262144));
    EXPECT_EQ(events[2].event, kEventRequestSent);
    const char answer = '\xA7';
    ASSERT_EQ(write(pty.master, &answer, 1), 1);
    events = client.WaitEvents(4);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3].event, kEventResponseReceived);
  }
  win32emu::UnbindPort(L"COM9");
  close(pty.master);
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace brisa

namespace brisa {
namespace {

TEST_F(ProtocolServerTest, RequestsHeldBehindACancelledOneGoOut) {
  Client first, second;
  DWORD a = server->ScheduleRequest(Request("\x31", &first.notification, 300000));
  ASSERT_EQ(first.WaitEvents(1).size(), 1u);
  // Due at once, but held back while the first awaits its response.
  DWORD b = server->ScheduleRequest(Request("\x32", &second.notification));
  ASSERT_NE(b, 0u);
  peer->WaitReceived(1);
  EXPECT_TRUE(server->CancelRequest(a));
  auto events = AnswerWhenSent(second, 1, 0x32);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(Is(events[0], kEventRequestSent, b, events[0].value));
  EXPECT_EQ(events[1].event, kEventResponseReceived);
}

}  // namespace
}  // namespace brisa
