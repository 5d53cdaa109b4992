// Modules in download mode, as the world shows them to the service: a serial-port device
// interface "\\?\usb#vid_xxxx&pid_yyyy#<instance>#{86e0d1e0-...}", its "Device Parameters" key
// with "PortName", and the COM port behind it. Plugging and unplugging also delivers the
// arrival and removal events to the running service, as Plug and Play would.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/tarn/tarn_module.h"
#include "sim/tarn/tarn_module_peer.h"
#include "win32emu/ports.h"

namespace worldsim {

extern const GUID kComPortClass;
constexpr const wchar_t* kServiceName = L"BrisaOristo";

struct sModuleIdentity {
  std::wstring deviceId = L"vid_1209&pid_0001";  // lower case, as in interface paths
  std::wstring instance = L"5&1a2b3c4d&0&1";
  std::wstring portName = L"COM7";
};

std::wstring InterfacePath(const sModuleIdentity& id);

// Makes the module present (registry "PortName", unless `withPortName` is false, and the
// interface), then tells the service. The port itself must be bound separately.
void PlugModule(const sModuleIdentity& id, bool withPortName = true);
// Makes the module absent and tells the service; the port binding goes too.
void UnplugModule(const sModuleIdentity& id);

// A Tarn module emulator bound to a COM port of this process (cTarnModulePeer), that leaves
// the world as a real module does when it restarts after the done packet: its interface goes
// and the removal event is sent.
class cInProcessModule {
 public:
  explicit cInProcessModule(sModuleIdentity id, tarnsim::sModuleConfig config = {});
  ~cInProcessModule();
  cInProcessModule(const cInProcessModule&) = delete;
  cInProcessModule& operator=(const cInProcessModule&) = delete;

  // Binds the port and plugs the module in (again, after it left).
  void Arrive(bool withPortName = true);
  void AddFault(const tarnsim::sFault& fault) { peer->AddFault(fault); }

  std::vector<tarnsim::sImageRecord> Images() { return peer->Images(); }
  tarnsim::sModuleStats Stats() { return peer->Stats(); }
  std::wstring OpenedFileName() { return peer->FileName(); }
  // Waits until the module has left and been unplugged, or `ms` passed.
  bool WaitLeft(DWORD ms);
  const sModuleIdentity& Identity() const { return id; }

 private:
  void Watch();  // unplugs the module once its emulator has left

  sModuleIdentity id;
  tarnsim::sModuleConfig config;
  std::shared_ptr<tarnsim::cTarnModulePeer> peer;
  std::mutex lock;
  std::condition_variable changed;
  bool unplugged = false;
  bool stopping = false;
  std::thread watcher;
};

}  // namespace worldsim
