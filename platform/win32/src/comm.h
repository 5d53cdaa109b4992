// Serial ports: the device object behind a "\\.\COMn" handle and its two kinds of endpoint.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "files.h"
#include "waits.h"
#include "win32emu/ports.h"

namespace win32emu {

using Steady = std::chrono::steady_clock;

// One read or write in flight on a port.
struct IoRequest {
  enum class Notify { Routine, Event, Sync };
  bool isRead = true;
  uint8_t* readBuffer = nullptr;
  const uint8_t* writeBuffer = nullptr;
  DWORD size = 0;
  DWORD done = 0;
  LPOVERLAPPED ov = nullptr;
  Notify notify = Notify::Sync;
  LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr;
  std::shared_ptr<ThreadState> issuer;
  // Read time-out modes of the serial driver (see StartLocked).
  enum class Mode { Normal, Immediate, FirstByte } mode = Mode::Normal;
  bool started = false;
  bool completed = false;
  DWORD error = 0;
  Steady::time_point totalDeadline = Steady::time_point::max();
  std::chrono::milliseconds interval{0};
  Steady::time_point lastByte;
};

class PortDevice : public StreamDevice, public PortLink {
 public:
  // Takes `fd` (a tty, or -1 for an in-process peer). Starts the port's service thread.
  PortDevice(std::wstring portName, std::wstring fileName, std::shared_ptr<PortPeer> peer, int fd,
             DWORD flags);
  ~PortDevice() override;  // the last handle is gone: cancels I/O, tells the endpoint
  const char* TypeName() const override { return "SerialPort"; }

  // StreamDevice: ReadFile, WriteFile and FlushFileBuffers on the handle.
  BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov) override;
  BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov) override;
  BOOL Flush() override;

  // PortLink, for an in-process peer.
  void Push(const void* data, size_t size) override;
  void Stall(bool stalled) override;
  void RaiseLineError(DWORD ceFlags) override;
  void Disconnect(DWORD error) override;

  // Starts a request; false with the last error set when it was refused (nothing will be
  // notified then).
  bool Start(const std::shared_ptr<IoRequest>& r);
  BOOL CancelFrom(DWORD issuerTid, LPOVERLAPPED ov, bool anyThread);
  // Blocks until `ov`'s request has completed.
  void WaitCompleted(LPOVERLAPPED ov);

  BOOL GetState(LPDCB dcb);
  BOOL SetState(const DCB& dcb);
  BOOL GetTimeouts(LPCOMMTIMEOUTS t);
  BOOL SetTimeouts(const COMMTIMEOUTS& t);
  BOOL Purge(DWORD flags);
  BOOL ClearError(LPDWORD errors, LPCOMSTAT stat);
  BOOL Escape(DWORD function);
  BOOL ModemStatus(LPDWORD status);
  bool Overlapped() const { return (flags_ & FILE_FLAG_OVERLAPPED) != 0; }

 private:
  using Lock = std::unique_lock<std::mutex>;
  bool FailIfBrokenLocked();
  void StartLocked(IoRequest& r, Steady::time_point now);
  void CompleteLocked(const std::shared_ptr<IoRequest>& r, DWORD error);
  void PumpLocked(Lock& lock);
  void PumpReadsLocked(Steady::time_point now);
  void DeliverToPeerLocked(Lock& lock);
  void WriteToTtyLocked();
  void AbortLocked(std::deque<std::shared_ptr<IoRequest>>& queue, DWORD error);
  Steady::time_point ExpireLocked(Steady::time_point now);
  void ApplyLineSettings();
  void Wake();
  void Run();

  const std::wstring portName_;
  const std::wstring fileName_;
  const std::shared_ptr<PortPeer> peer_;
  const int fd_;
  const DWORD flags_;
  int wakeFd_ = -1;

  std::recursive_mutex callbacks_;  // one peer callback at a time
  std::mutex m_;                    // all state below
  std::condition_variable cv_;      // the service thread (in-process) and synchronous callers
  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
  DWORD errors_ = 0;
  bool stalled_ = false;
  bool disconnected_ = false;
  DWORD disconnectError_ = 0;
  bool stopping_ = false;
  bool delivering_ = false;
  std::vector<uint8_t> rx_;
  size_t rxHead_ = 0;
  std::deque<std::shared_ptr<IoRequest>> reads_;
  std::deque<std::shared_ptr<IoRequest>> writes_;
  std::thread service_;
};

// Frees the port name when its device object goes away (devices.cpp).
void ReleasePortName(const std::wstring& portName);

}  // namespace win32emu
