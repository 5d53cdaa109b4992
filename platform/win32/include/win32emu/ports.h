// The world's serial ports: which endpoint a COM port name reaches.
//
// CreateFileW("\\\\.\\COM7") opens the endpoint bound to COM7: an in-process peer written in
// C++ (a module emulator, a scripted test double) or a tty device of the host (typically the
// slave side of a pseudo-terminal whose master a simulator holds). A name after the port
// ("\\\\.\\COM7\\TarnService") reaches the endpoint as the file name of the open.
//
// In-process bindings live in this process. Device bindings are also written to the world file
// <WorldRoot()>/devices/ports, one "COM7 = /dev/pts/4" line each, so that processes started in
// the same world (a service started by the emulated service manager) find them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "win32emu/api_comm.h"
#include "winerror.h"

namespace win32emu {

// What an in-process endpoint uses to act on the open port it serves. Every call may be made
// from any thread, including from inside the peer's own callbacks, and none of them calls back
// into the peer (so a peer may hold its own lock while calling). The link is valid from
// PortPeer::OnOpen until PortPeer::OnClose returns.
class PortLink {
 public:
  virtual ~PortLink() = default;
  // Bytes arriving at the port, for the application's reads.
  virtual void Push(const void* data, size_t size) = 0;
  // While stalled (flow control held off), written bytes are not taken: writes stay pending
  // until released or until their write time-out.
  virtual void Stall(bool stalled) = 0;
  // Line errors (CE_* flags) that ClearCommError reports; with fAbortOnError they also fail
  // I/O with ERROR_OPERATION_ABORTED until cleared.
  virtual void RaiseLineError(DWORD ceFlags) = 0;
  // The device goes away (surprise removal): pending and later I/O fail with `error`.
  virtual void Disconnect(DWORD error = ERROR_GEN_FAILURE) = 0;
};

// An in-process endpoint. Callbacks are made without any lock of the port held, one at a time
// for one open port, in the order the application caused them.
class PortPeer {
 public:
  virtual ~PortPeer() = default;
  // `fileName` is what followed the port name ("\\TarnService"), empty when nothing did.
  virtual void OnOpen(PortLink& link, const std::wstring& fileName) {}
  virtual void OnSettings(const DCB& dcb, const COMMTIMEOUTS& timeouts) {}
  // Bytes the application wrote, as the line transmits them.
  virtual void OnWrite(const void* data, size_t size) {}
  virtual void OnPurge(DWORD flags) {}
  virtual void OnEscape(DWORD function) {}
  virtual void OnClose() {}
};

// Binds a port name ("COM7", any case) to an in-process peer, replacing an earlier binding of
// that name. An open port keeps the endpoint it was opened with.
void BindPort(const std::wstring& portName, std::shared_ptr<PortPeer> peer);
// Binds a port name to a tty device path, in this process and in the world file.
void BindPortToDevice(const std::wstring& portName, const std::string& devicePath);
// Removes the port's binding, of either kind.
void UnbindPort(const std::wstring& portName);

// A pseudo-terminal pair for tests and simulators: the master end (raw mode, non-blocking,
// close-on-exec) and the path of the slave, which a port can be bound to.
struct PtyPair {
  int master = -1;
  std::string slavePath;
};
// Opens a pair; false (with errno set) when the host refuses.
bool OpenPtyPair(PtyPair* pair);

}  // namespace win32emu
