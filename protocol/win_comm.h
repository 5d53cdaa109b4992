// The serial-port transport of a protocol server: overlapped reads and writes, at most one of
// each at a time, whose completion routines run on the issuing thread while it waits alertably.
#pragma once

#include <windows.h>

#include <string>

namespace brisa {

// Receives the completion of one read or one write.
class cCommCallback {
 public:
  virtual ~cCommCallback() = default;
  virtual void Completion(DWORD error, DWORD bytes) = 0;
};

class cWinComm {
 public:
  cWinComm();
  virtual ~cWinComm();
  cWinComm(const cWinComm&) = delete;
  cWinComm& operator=(const cWinComm&) = delete;

  // Both callbacks attached.
  virtual bool IsReady() const;
  // Opens the port for overlapped I/O; a name without a "." gets the device prefix "\\.\".
  // A port already open is closed first.
  virtual bool Open(const wchar_t* name, bool exclusive);
  // True when nothing was open.
  virtual bool Close();
  // Starts one read; false while a read is pending or when it cannot start (GetLastError then
  // holds the reason).
  virtual bool Read(void* buffer, DWORD length);
  // Starts one write; the same rules as Read. The bytes must stay alive until it completes.
  virtual bool Write(const void* buffer, DWORD length);
  // The path opened, without the device prefix; empty when closed.
  virtual std::wstring GetName() const;

  void SetCallbacks(cCommCallback* rx, cCommCallback* tx) {
    rxCallback = rx;
    txCallback = tx;
  }
  bool HasCallbacks() const { return rxCallback != nullptr || txCallback != nullptr; }
  HANDLE GetHandle() const { return handle; }
  bool IsOpen() const { return handle != INVALID_HANDLE_VALUE; }
  bool ReadPending() const { return readOverlapped.hEvent != nullptr; }
  bool WritePending() const { return writeOverlapped.hEvent != nullptr; }
  // Cancels this thread's pending I/O on the port and runs the cancelled completions (alertable
  // wait of at most `ms`), so that none arrives later to confuse a following read or write.
  // Close does the same when called on the thread that started the I/O.
  void CancelPending(DWORD ms = 1000);

 private:
  static void WINAPI ReadCompleted(DWORD error, DWORD bytes, LPOVERLAPPED overlapped);
  static void WINAPI WriteCompleted(DWORD error, DWORD bytes, LPOVERLAPPED overlapped);

  std::wstring portName;
  HANDLE handle;
  cCommCallback* rxCallback;
  cCommCallback* txCallback;
  // hEvent carries this transport's address while the operation is pending, 0 otherwise.
  OVERLAPPED readOverlapped;
  OVERLAPPED writeOverlapped;
  DWORD ioThread;  // the thread that started the last read or write
};

}  // namespace brisa
