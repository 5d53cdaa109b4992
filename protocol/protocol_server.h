// A request/response protocol over one serial port, run by one worker thread that owns the port
// and every piece of protocol state. Client threads only hand it commands (connect, disconnect,
// schedule, cancel) and read what happened to their requests from their notifications.
// Framing and the recognition of responses belong to derived classes.
#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "protocol/protocol_buffers.h"
#include "protocol/protocol_log.h"
#include "protocol/win_comm.h"

namespace brisa {

class cProtocolServer;

class cProtocolServerRxCallback : public cCommCallback {
 public:
  void Completion(DWORD error, DWORD bytes) override;
  cProtocolServer* owner = nullptr;  // null while disconnected: completions are ignored
};

class cProtocolServerTxCallback : public cCommCallback {
 public:
  void Completion(DWORD error, DWORD bytes) override;
  cProtocolServer* owner = nullptr;
};

// One scheduled request, owned by the worker.
struct sTransaction {
  static constexpr DWORD kBlockSize = 262144;

  sTransaction(DWORD id, const sProtocolRequest& request);

  DWORD id;
  DWORD sendCount;      // transmissions started; not advanced for endless repetition
  DWORD expectedBytes;  // length of the write in progress
  DWORD blocks;         // blocks of attached data
  DWORD blocksSent;     // attached blocks already started
  BYTE responseArmed;   // the response timer runs for this request
  sProtocolRequest request;
};

// The record a client hands to the worker, carried in a block with tag kTagCommand.
struct sServerCommand {
  enum : DWORD { kConnect = 0, kDisconnect = 1, kSchedule = 2, kCancel = 3 };
  static constexpr DWORD kNotRun = 0xFFFFFFFFu;  // status until the worker has run it
  static constexpr DWORD kFailed = 0x80004005u;

  DWORD type;
  DWORD status;        // 0 success, kFailed failure
  ULONG_PTR argument;  // connect: port name; schedule: the client's request; cancel: id
  ULONG_PTR extra;     // connect: exclusive flag; schedule: the new id (written by the worker)
};

class cProtocolServer {
 public:
  static constexpr DWORD kOperationTimeout = 10000;  // ms a public operation waits at most
  static constexpr DWORD kDefaultRxBufferSize = 512;

  cProtocolServer();
  // Stops the worker. A derived class must call StopWorker in its own destructor: the worker
  // calls the derived overrides, which must not run while the derived part is torn down.
  virtual ~cProtocolServer();
  cProtocolServer(const cProtocolServer&) = delete;
  cProtocolServer& operator=(const cProtocolServer&) = delete;

  // Starts the worker thread; false when one runs already or the server's handles are missing.
  bool Initialize();
  // Opens the port (exclusively), runs OnConnect and starts receiving.
  bool ConnectPort(const wchar_t* name);
  // Ends the request in flight, stops the port's I/O, runs OnDisconnect and closes the port.
  bool DisconnectPort();
  // Copies the request into the server; returns its id, 0 when refused. The attached data must
  // stay alive until the request has ended.
  DWORD ScheduleRequest(const sProtocolRequest& request);
  // Removes a queued request silently, or ends the one in flight with event 0 or 2, value 995.
  bool CancelRequest(DWORD id);
  // Ends the worker (by force after its time) and drops every request; true when it ended in
  // order.
  bool StopWorker();

  // Every packet written or received; read by clients for hex dumps.
  cProtocolLog& GetProtocolLog() { return protocolLog; }
  // The worker's thread id (0 when none runs).
  DWORD GetWorkerId() const { return workerId.load(); }

 protected:
  virtual bool IsRequestValid(const sProtocolRequest& request) { return request.IsValid(); }
  // Called on the worker after the port opened; false fails the connect.
  virtual bool OnConnect() = 0;
  virtual bool OnDisconnect() = 0;
  // Chooses what to write for `request`: return 0 to write the request's own block unframed,
  // 1 to write `*toWrite`, which must hold a valid block and stay alive (owned by the derived
  // class) until the next Encode; anything else fails the request.
  virtual int Encode(const sProtocolRequest& request, sSharedBuffer** toWrite) = 0;
  // Examines the first `bytes` bytes of rxBuffer. Returns whether the response of the request in
  // flight was found (its protocol-log index in `responseIndex`); `errorPacket` reports an error
  // packet, which aborts a request still being written.
  virtual bool Decode(DWORD bytes, DWORD* responseIndex, bool* errorPacket) = 0;
  // Write completion (worker thread).
  virtual void OnTransmitComplete(DWORD error, DWORD bytes);

  // For derived classes, on the worker thread only.
  const sTransaction* InFlight() const { return inFlight.get(); }
  const BYTE* RxBuffer() const { return rxBuffer.get(); }
  DWORD RxBufferSize() const { return rxBufferSize; }

  cWinComm comm;
  cProtocolLog protocolLog;
  DWORD txTag;
  DWORD nextId;  // the last id handed out; touched only by the worker while it runs

 private:
  friend class cProtocolServerRxCallback;
  friend class cProtocolServerTxCallback;

  static DWORD WINAPI WorkerMain(LPVOID self);
  static void WINAPI CommandApc(ULONG_PTR self);

  bool Lock();
  void Unlock();
  bool DeliverCommand(sServerCommand& record);
  bool QueueCommand();
  bool EndWorker(HANDLE thread, bool locked);
  void ReleaseWorker(HANDLE thread);
  void WorkerLoop();
  void RunCommand();
  DWORD DoConnect(const std::wstring& name, bool exclusive);
  DWORD DoDisconnect();
  DWORD DoSchedule(std::unique_ptr<sTransaction> transaction);
  DWORD DoCancel(DWORD id);
  void CancelInFlight(DWORD value);
  void Enqueue(DWORD id, DWORD ms);
  void ArmScheduleTimer();
  void ClockCheck();
  void SendNext();
  void OnReceiveComplete(DWORD error, DWORD bytes);
  void StartRead();
  void ResponseTimedOut();
  void RequestFailed();
  void Finish();
  void DropAllRequests();

  cProtocolServerRxCallback rxCallback;
  cProtocolServerTxCallback txCallback;
  // Set by Initialize; cleared by the stop that owns the worker only after it has ended the
  // thread (or given up on it), so that no second worker starts beside a dying one. A stop that
  // could not take serverMutex clears them while the client holding the mutex may be queuing a
  // command: hence atomic, and the handle is read for queuing and cleared only under workerLock,
  // so that no client queues to a closed handle. The worker never takes workerLock, so ending it
  // by force cannot leave that lock held.
  std::atomic<HANDLE> worker;
  std::atomic<DWORD> workerId;
  std::atomic<bool> stopping;  // a StopWorker owns the worker; any other one leaves it alone
  CRITICAL_SECTION workerLock;
  HANDLE scheduleTimer;
  HANDLE responseTimer;
  HANDLE serverMutex;
  HANDLE commandDone;
  HANDLE workerStop;
  std::atomic<BYTE> workerExited;
  // The handover of a command: guarded by commandLock, so that a client that gives up can
  // withdraw a command the worker has not taken yet, and the worker copies what it needs from
  // the client while the client still waits.
  CRITICAL_SECTION commandLock;
  sSharedBuffer* pendingCommand;
  std::multimap<ULONGLONG, DWORD> timeQueue;
  ULONGLONG lastClock;
  std::map<DWORD, std::unique_ptr<sTransaction>> pendingRequests;
  std::unique_ptr<sTransaction> inFlight;
  // The block of a write in progress, kept alive until the write completes even when its request
  // has been cancelled meanwhile.
  sProtocolBuffer writeHold;
  std::unique_ptr<BYTE[]> rxBuffer;
  DWORD rxBufferSize;
};

}  // namespace brisa
