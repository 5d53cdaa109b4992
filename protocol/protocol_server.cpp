#include "protocol/protocol_server.h"

#include <cstring>
#include <new>

namespace brisa {

namespace {

constexpr ULONGLONG kTicksPerMs = 10000;
constexpr DWORD kWorkerWait = 100;
constexpr DWORD kStopPoll = 100;
constexpr DWORD kStopGrace = 2000;
constexpr DWORD kForcedExitCode = 0xFFFFFFFFu;
// A schedule timer that fires this much before the earliest due time is taken as a left-over
// signal rather than as the due time.
constexpr ULONGLONG kEarlyTolerance = 20 * kTicksPerMs;

DWORD BlockCount(DWORD attachedLength) {
  if (attachedLength == 0) return 0;
  if (attachedLength <= sTransaction::kBlockSize) return 1;
  return (attachedLength + sTransaction::kBlockSize - 1) / sTransaction::kBlockSize;
}

}  // namespace

// ---- callbacks ----

void cProtocolServerRxCallback::Completion(DWORD error, DWORD bytes) {
  if (owner) owner->OnReceiveComplete(error, bytes);
}

void cProtocolServerTxCallback::Completion(DWORD error, DWORD bytes) {
  if (owner) owner->OnTransmitComplete(error, bytes);
}

// ---- sTransaction ----

sTransaction::sTransaction(DWORD id, const sProtocolRequest& request)
    : id(id),
      sendCount(0),
      expectedBytes(request.Size()),
      blocks(request.attachedData ? BlockCount(request.attachedLength) : 0),
      blocksSent(0),
      responseArmed(0),
      request(request) {}

// ---- construction ----

cProtocolServer::cProtocolServer()
    : txTag(kTagSent),
      nextId(1),
      worker(nullptr),
      workerId(0),
      stopping(false),
      scheduleTimer(nullptr),
      responseTimer(nullptr),
      serverMutex(nullptr),
      commandDone(nullptr),
      workerStop(nullptr),
      workerExited(0),
      pendingCommand(nullptr),
      lastClock(CurrentFileTime()),
      rxBufferSize(kDefaultRxBufferSize) {
  InitializeCriticalSectionAndSpinCount(&workerLock, 5000);
  InitializeCriticalSectionAndSpinCount(&commandLock, 5000);
  if (!comm.HasCallbacks()) comm.SetCallbacks(&rxCallback, &txCallback);
  if (rxBufferSize != 0 && comm.IsReady()) rxBuffer.reset(new (std::nothrow) BYTE[rxBufferSize]);
  if (rxBuffer) {
    scheduleTimer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    responseTimer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    serverMutex = CreateMutexW(nullptr, FALSE, nullptr);
    commandDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    workerStop = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
}

cProtocolServer::~cProtocolServer() {
  StopWorker();
  for (HANDLE* h : {&scheduleTimer, &responseTimer, &serverMutex, &commandDone, &workerStop}) {
    if (*h) CloseHandle(*h);
    *h = nullptr;
  }
  comm.Close();
  DeleteCriticalSection(&commandLock);
  DeleteCriticalSection(&workerLock);
}

// ---- public operations ----

bool cProtocolServer::Lock() {
  if (!serverMutex) return false;
  DWORD result = WaitForSingleObject(serverMutex, kOperationTimeout);
  // An owner that died holding the mutex cannot have left the worker's state half-changed:
  // that state belongs to the worker alone.
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void cProtocolServer::Unlock() { ReleaseMutex(serverMutex); }

bool cProtocolServer::Initialize() {
  if (!Lock()) return false;
  bool created = false;
  if (!worker.load() && scheduleTimer && responseTimer && commandDone && workerStop) {
    workerExited.store(0);
    ResetEvent(workerStop);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WorkerMain, this, 0, &id);
    if (thread) {
      workerId.store(id);
      worker.store(thread);
      created = true;
    }
  }
  Unlock();
  return created;
}

bool cProtocolServer::ConnectPort(const wchar_t* name) {
  if (name == nullptr || *name == L'\0') return false;
  if (!Lock()) return false;
  sServerCommand record = {sServerCommand::kConnect, sServerCommand::kNotRun,
                           reinterpret_cast<ULONG_PTR>(name), 1};
  bool ok = DeliverCommand(record) && record.status == 0;
  Unlock();
  return ok;
}

bool cProtocolServer::DisconnectPort() {
  if (!Lock()) return false;
  sServerCommand record = {sServerCommand::kDisconnect, sServerCommand::kNotRun, 0, 0};
  bool ok = DeliverCommand(record) && record.status == 0;
  Unlock();
  return ok;
}

DWORD cProtocolServer::ScheduleRequest(const sProtocolRequest& request) {
  if (!Lock()) return 0;
  DWORD id = 0;
  if (txTag <= 34 && request.buffer && request.buffer->tag == txTag && IsRequestValid(request)) {
    sServerCommand record = {sServerCommand::kSchedule, sServerCommand::kNotRun,
                             reinterpret_cast<ULONG_PTR>(&request), 0};
    if (DeliverCommand(record) && record.status == 0) id = static_cast<DWORD>(record.extra);
  }
  Unlock();
  return id;
}

bool cProtocolServer::CancelRequest(DWORD id) {
  if (!Lock()) return false;
  sServerCommand record = {sServerCommand::kCancel, sServerCommand::kNotRun, id, 0};
  bool ok = DeliverCommand(record) && record.status == 0;
  Unlock();
  return ok;
}

// Hands `record` to the worker and waits for it; on return `record` holds what the worker wrote.
// The worker copies everything it needs from the client while the client is still waiting, so
// a client that gives up leaves nothing behind that the worker could still reach.
bool cProtocolServer::DeliverCommand(sServerCommand& record) {
  if (!worker.load() || !commandDone || workerExited.load()) return false;
  auto* block = new (std::nothrow) sSharedBuffer(kTagCommand, sizeof record, &record);
  if (block == nullptr) return false;
  sProtocolBuffer command(block);
  if (!command.IsValid()) {
    sSharedBuffer::Release(block);
    return false;
  }
  auto* shared = reinterpret_cast<sServerCommand*>(command.buffer->data);

  EnterCriticalSection(&commandLock);
  if (pendingCommand) {
    LeaveCriticalSection(&commandLock);
    return false;
  }
  command.buffer->AddReference();  // the reference of the pending slot
  pendingCommand = command.buffer;
  LeaveCriticalSection(&commandLock);

  if (!QueueCommand()) {
    EnterCriticalSection(&commandLock);
    sSharedBuffer* withdrawn = pendingCommand;
    pendingCommand = nullptr;
    LeaveCriticalSection(&commandLock);
    sSharedBuffer::Release(withdrawn);
    return false;
  }

  ULONGLONG deadline = GetTickCount64() + kOperationTimeout;
  for (;;) {
    ULONGLONG now = GetTickCount64();
    DWORD remaining = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    DWORD result = WaitForSingleObject(commandDone, remaining);
    EnterCriticalSection(&commandLock);
    bool done = shared->status != sServerCommand::kNotRun;
    if (done) {
      record = *shared;
    } else if (result != WAIT_OBJECT_0 || remaining == 0) {
      // Not taken in time: withdraw it so that the worker never runs it.
      sSharedBuffer* withdrawn = pendingCommand == command.buffer ? pendingCommand : nullptr;
      if (withdrawn) pendingCommand = nullptr;
      LeaveCriticalSection(&commandLock);
      sSharedBuffer::Release(withdrawn);
      return false;
    }
    LeaveCriticalSection(&commandLock);
    // A signal left over from a command that was given up on wakes this wait early; only the
    // record's status tells that this command has run.
    if (done) return true;
  }
}

// A stop clears and closes the handle under workerLock: it cannot go between the read and the
// queuing.
bool cProtocolServer::QueueCommand() {
  EnterCriticalSection(&workerLock);
  HANDLE thread = worker.load();
  bool queued =
      thread != nullptr && QueueUserAPC(CommandApc, thread, reinterpret_cast<ULONG_PTR>(this));
  LeaveCriticalSection(&workerLock);
  return queued;
}

void WINAPI cProtocolServer::CommandApc(ULONG_PTR self) {
  reinterpret_cast<cProtocolServer*>(self)->RunCommand();
}

void cProtocolServer::RunCommand() {
  EnterCriticalSection(&commandLock);
  sSharedBuffer* taken = pendingCommand;
  pendingCommand = nullptr;
  if (taken == nullptr) {
    LeaveCriticalSection(&commandLock);
    return;
  }
  // The view keeps the record alive for the duration; the pending slot's reference is ours now.
  sProtocolBuffer view(taken);
  sSharedBuffer::Release(taken);
  sServerCommand command;
  std::memcpy(&command, view.Data(), sizeof command);
  std::wstring name;
  std::unique_ptr<sTransaction> transaction;
  if (command.type == sServerCommand::kConnect) {
    name = reinterpret_cast<const wchar_t*>(command.argument);
  } else if (command.type == sServerCommand::kSchedule) {
    transaction.reset(new (std::nothrow) sTransaction(
        0, *reinterpret_cast<const sProtocolRequest*>(command.argument)));
  }
  LeaveCriticalSection(&commandLock);

  DWORD status = sServerCommand::kFailed;
  DWORD extra = 0;
  switch (command.type) {
    case sServerCommand::kConnect:
      status = DoConnect(name, command.extra != 0);
      break;
    case sServerCommand::kDisconnect:
      status = DoDisconnect();
      break;
    case sServerCommand::kSchedule:
      if (transaction) {
        extra = DoSchedule(std::move(transaction));
        status = extra ? 0 : sServerCommand::kFailed;
      }
      break;
    case sServerCommand::kCancel:
      status = DoCancel(static_cast<DWORD>(command.argument));
      break;
    default:
      break;
  }

  EnterCriticalSection(&commandLock);
  auto* record = reinterpret_cast<sServerCommand*>(view.buffer->data);
  record->extra = extra;
  record->status = status;
  LeaveCriticalSection(&commandLock);
  SetEvent(commandDone);
}

// ---- commands, on the worker ----

DWORD cProtocolServer::DoConnect(const std::wstring& name, bool exclusive) {
  rxCallback.owner = this;
  txCallback.owner = this;
  bool ok = comm.Open(name.c_str(), exclusive);
  ok = ok && OnConnect();
  if (ok) {
    StartRead();
    ok = comm.ReadPending();
  }
  return ok ? 0 : sServerCommand::kFailed;
}

DWORD cProtocolServer::DoDisconnect() {
  if (inFlight) CancelInFlight(ERROR_OPERATION_ABORTED);
  // Owners first: the completions of the cancelled reads and writes then end quietly instead of
  // starting new I/O on a port about to close.
  rxCallback.owner = nullptr;
  txCallback.owner = nullptr;
  comm.CancelPending();
  OnDisconnect();
  return comm.Close() ? 0 : sServerCommand::kFailed;
}

DWORD cProtocolServer::DoSchedule(std::unique_ptr<sTransaction> transaction) {
  DWORD id = nextId == 0xFFFFFFFFu ? 1 : nextId + 1;
  while (id == 0 || pendingRequests.count(id) || (inFlight && inFlight->id == id)) {
    id = id == 0xFFFFFFFFu ? 1 : id + 1;
  }
  nextId = id;
  transaction->id = id;
  DWORD delay = transaction->request.delay;
  pendingRequests[id] = std::move(transaction);
  Enqueue(id, delay);
  return id;
}

DWORD cProtocolServer::DoCancel(DWORD id) {
  auto pending = pendingRequests.find(id);
  if (pending != pendingRequests.end()) {
    pendingRequests.erase(pending);
    for (auto it = timeQueue.begin(); it != timeQueue.end(); ++it) {
      if (it->second != id) continue;
      bool earliest = it == timeQueue.begin();
      timeQueue.erase(it);
      if (earliest) ArmScheduleTimer();
      break;
    }
    return 0;
  }
  if (inFlight && inFlight->id == id) {
    CancelInFlight(ERROR_OPERATION_ABORTED);
    return 0;
  }
  return sServerCommand::kFailed;
}

void cProtocolServer::CancelInFlight(DWORD value) {
  std::unique_ptr<sTransaction> ended = std::move(inFlight);
  if (ended->responseArmed) {
    CancelWaitableTimer(responseTimer);
    ended->request.Notify(kEventResponseError, ended->id, value);
  } else {
    PurgeComm(comm.GetHandle(), PURGE_TXABORT);
    ended->request.Notify(kEventRequestError, ended->id, value);
  }
  // SendNext held the queue back while this request was in flight; let it move again.
  ArmScheduleTimer();
}

// ---- scheduling ----

void cProtocolServer::Enqueue(DWORD id, DWORD ms) {
  ClockCheck();
  timeQueue.emplace(lastClock + ms * kTicksPerMs, id);
  ArmScheduleTimer();
}

void cProtocolServer::ArmScheduleTimer() {
  if (timeQueue.empty()) {
    CancelWaitableTimer(scheduleTimer);
    return;
  }
  LARGE_INTEGER due;
  due.QuadPart = static_cast<LONGLONG>(timeQueue.begin()->first);
  SetWaitableTimer(scheduleTimer, &due, 0, nullptr, nullptr, FALSE);
}

void cProtocolServer::ClockCheck() {
  ULONGLONG now = CurrentFileTime();
  if (now < lastClock) {
    // The clock went back: what was due stays due now rather than an interval later.
    std::multimap<ULONGLONG, DWORD> moved;
    for (const auto& entry : timeQueue) moved.emplace(now, entry.second);
    timeQueue.swap(moved);
    lastClock = now;
    ArmScheduleTimer();
    return;
  }
  lastClock = now;
}

void cProtocolServer::SendNext() {
  // A write whose request was cancelled is still completing: the next one starts after it.
  if (inFlight || timeQueue.empty() || comm.WritePending()) return;
  ClockCheck();
  auto earliest = timeQueue.begin();
  if (earliest->first > lastClock + kEarlyTolerance) {
    ArmScheduleTimer();
    return;
  }
  DWORD id = earliest->second;
  timeQueue.erase(earliest);
  auto pending = pendingRequests.find(id);
  if (pending == pendingRequests.end()) {
    ArmScheduleTimer();
    return;
  }
  inFlight = std::move(pending->second);
  pendingRequests.erase(pending);
  if (inFlight->request.repeatCount != -1) ++inFlight->sendCount;

  sSharedBuffer* toWrite = nullptr;
  int flag = Encode(inFlight->request, &toWrite);
  const BYTE* bytes = nullptr;
  if (flag == 0) {
    writeHold = inFlight->request;
    bytes = inFlight->request.Data();
    inFlight->expectedBytes = inFlight->request.Size();
  } else if (flag == 1 && IsValidBlock(toWrite)) {
    bytes = toWrite->data;
    inFlight->expectedBytes = toWrite->size;
  }
  if (bytes == nullptr || !comm.Write(bytes, inFlight->expectedBytes)) RequestFailed();
}

// ---- completions, on the worker ----

void cProtocolServer::OnTransmitComplete(DWORD error, DWORD bytes) {
  writeHold = sProtocolBuffer();
  if (!inFlight) {
    // The write of a cancelled or failed request has ended; what was held back can go now.
    if (!timeQueue.empty()) ArmScheduleTimer();
    return;
  }
  sTransaction& t = *inFlight;
  if (error != 0 || bytes != t.expectedBytes) {
    t.request.Notify(kEventRequestError, t.id, 0);
    Finish();
    return;
  }
  if (t.blocks != 0 && t.blocksSent != 0) t.request.Notify(kEventAttachedProgress, t.id, bytes);
  if (t.blocksSent < t.blocks && t.request.attachedData) {
    DWORD k = t.blocksSent;
    DWORD length = sTransaction::kBlockSize;
    if (t.blocks == 1) {
      length = t.request.attachedLength;
    } else if (k + 1 == t.blocks) {
      length = t.request.attachedLength % sTransaction::kBlockSize;
      if (length == 0) length = sTransaction::kBlockSize;
    }
    ++t.blocksSent;
    t.expectedBytes = length;
    if (!comm.Write(t.request.attachedData + static_cast<size_t>(k) * sTransaction::kBlockSize,
                    length)) {
      RequestFailed();
    }
    return;
  }
  DWORD index = protocolLog.Add(t.request);
  t.request.Notify(kEventRequestSent, t.id, index);
  if (t.request.noResponse) {
    Finish();
    return;
  }
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(t.request.responseTimeout * kTicksPerMs);
  if (SetWaitableTimer(responseTimer, &due, 0, nullptr, nullptr, FALSE)) {
    t.responseArmed = 1;
  } else {
    t.request.Notify(kEventResponseError, t.id, GetLastError());
    Finish();
  }
}

void cProtocolServer::OnReceiveComplete(DWORD error, DWORD bytes) {
  if (error != 0 || bytes == 0) {
    DWORD errors = 0;
    ClearCommError(comm.GetHandle(), &errors, nullptr);
  } else {
    DWORD responseIndex = kInvalidLogIndex;
    bool errorPacket = false;
    if (bytes > rxBufferSize) bytes = rxBufferSize;
    bool found = Decode(bytes, &responseIndex, &errorPacket);
    if (inFlight && errorPacket) {
      PurgeComm(comm.GetHandle(), PURGE_TXABORT);
      RequestFailed();
    } else if (inFlight && found) {
      CancelWaitableTimer(responseTimer);
      inFlight->request.Notify(kEventResponseReceived, inFlight->id, responseIndex);
      Finish();
    }
  }
  StartRead();
}

void cProtocolServer::StartRead() {
  if (comm.IsOpen() && rxCallback.owner) comm.Read(rxBuffer.get(), rxBufferSize);
}

void cProtocolServer::ResponseTimedOut() {
  // A timer that fired just before the response arrived stays signalled after it is cancelled;
  // only an armed request can time out.
  if (!inFlight || !inFlight->responseArmed) return;
  inFlight->request.Notify(kEventResponseError, inFlight->id, 0);
  Finish();
}

void cProtocolServer::RequestFailed() {
  inFlight->request.Notify(kEventRequestError, inFlight->id, 0);
  Finish();
}

void cProtocolServer::Finish() {
  std::unique_ptr<sTransaction> ended = std::move(inFlight);
  if (ended->sendCount < static_cast<DWORD>(ended->request.repeatCount)) {
    ended->expectedBytes = ended->request.Size();
    ended->blocksSent = 0;
    ended->responseArmed = 0;
    DWORD id = ended->id;
    DWORD interval = ended->request.repeatInterval;
    pendingRequests[id] = std::move(ended);
    Enqueue(id, interval);
    return;
  }
  ended.reset();
  ArmScheduleTimer();
}

// ---- the worker ----

DWORD WINAPI cProtocolServer::WorkerMain(LPVOID self) {
  static_cast<cProtocolServer*>(self)->WorkerLoop();
  return 0;
}

void cProtocolServer::WorkerLoop() {
  HANDLE waits[3] = {scheduleTimer, responseTimer, workerStop};
  for (;;) {
    DWORD result = WaitForMultipleObjectsEx(3, waits, FALSE, kWorkerWait, TRUE);
    if (result == WAIT_OBJECT_0) {
      SendNext();
    } else if (result == WAIT_OBJECT_0 + 1) {
      ResponseTimedOut();
    } else if (result == WAIT_IO_COMPLETION || result == WAIT_TIMEOUT) {
      ClockCheck();
    } else {
      break;
    }
  }
  // Let the cancelled operations complete here, the only thread that can run their routines.
  rxCallback.owner = nullptr;
  txCallback.owner = nullptr;
  comm.CancelPending();
  workerExited.store(1);
}

bool cProtocolServer::StopWorker() {
  const bool locked = Lock();
  bool inOrder = false;
  // One stop owns the worker at a time. Another one can run meanwhile only when it could not take
  // serverMutex (held by the owner or by a client stuck in an operation); it leaves the thread to
  // the owner.
  if (!stopping.exchange(true)) {
    HANDLE thread = worker.load();
    bool ended = thread == nullptr ? locked : EndWorker(thread, locked);
    // Only a worker known to have ended can have its state taken away; a thread the platform
    // could not stop keeps what it uses. The handle is still set here, so no new worker can
    // have started to use that state, even when serverMutex could not be had.
    if (ended) DropAllRequests();
    if (thread) ReleaseWorker(thread);
    inOrder = locked;
    stopping.store(false);
  }
  if (locked) Unlock();
  return inOrder;
}

// With serverMutex held no command can be on its way, and the worker is asked to stop; it is
// ended by force when it does not, and at once when the mutex could not be had. True when the
// thread has ended.
bool cProtocolServer::EndWorker(HANDLE thread, bool locked) {
  if (locked) {
    SetEvent(workerStop);
    // workerExited is the worker's last word; the wait on the thread also ends the poll when
    // the thread died without saying it. Bounded, so that a worker stuck in a call is ended.
    for (DWORD waited = 0; !workerExited.load() && waited < kOperationTimeout;
         waited += kStopPoll) {
      if (WaitForSingleObject(thread, kStopPoll) == WAIT_OBJECT_0) break;
    }
    if (WaitForSingleObject(thread, kStopGrace) == WAIT_OBJECT_0) return true;
  }
  TerminateThread(thread, kForcedExitCode);
  return WaitForSingleObject(thread, kStopGrace) == WAIT_OBJECT_0;
}

// A client holding serverMutex may be about to queue a command to the handle (a stop that could
// not take the mutex gets here while it does): cleared under workerLock before it is closed.
void cProtocolServer::ReleaseWorker(HANDLE thread) {
  EnterCriticalSection(&workerLock);
  worker.store(nullptr);
  workerId.store(0);
  LeaveCriticalSection(&workerLock);
  CloseHandle(thread);
}

void cProtocolServer::DropAllRequests() {
  pendingRequests.clear();
  timeQueue.clear();
  inFlight.reset();
  writeHold = sProtocolBuffer();
  protocolLog.Clear();
}

}  // namespace brisa
