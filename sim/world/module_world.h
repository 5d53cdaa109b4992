// Modules in download mode, as the world shows them to the service: a serial-port device
// interface "\\?\usb#vid_xxxx&pid_yyyy#<instance>#{86e0d1e0-...}", its "Device Parameters" key
// with "PortName", and the COM port behind it. Plugging and unplugging also delivers the
// arrival and removal events to the running service, as Plug and Play would.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/tarn/tarn_module.h"
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

// A Tarn module emulator bound to a COM port of this process. After the done packet it
// restarts as a real module does: it is unplugged (interface gone, removal event sent).
class cInProcessModule : public win32emu::PortPeer,
                         public std::enable_shared_from_this<cInProcessModule> {
 public:
  explicit cInProcessModule(sModuleIdentity id, tarnsim::sModuleConfig config = {});
  ~cInProcessModule() override;

  // Binds the port and plugs the module in.
  void Arrive(bool withPortName = true);
  void AddFault(const tarnsim::sFault& fault);

  // What arrived so far (a copy, taken under the module's lock).
  std::vector<tarnsim::sImageRecord> Images();
  tarnsim::sModuleStats Stats();
  std::wstring OpenedFileName();
  // Waits until the module has left (restarted) or `ms` passed.
  bool WaitLeft(DWORD ms);
  const sModuleIdentity& Identity() const { return id; }

  void OnOpen(win32emu::PortLink& link, const std::wstring& fileName) override;
  void OnWrite(const void* data, size_t size) override;
  void OnPurge(DWORD flags) override;
  void OnClose() override;
  // How long the module takes to restart after the done packet before its port goes.
  void SetRestartTime(DWORD ms) { restartMs = ms; }

 private:
  void Deliver();  // the thread that sends delayed answers in order

  sModuleIdentity id;
  std::mutex lock;
  std::condition_variable changed;
  tarnsim::cTarnModule module;
  win32emu::PortLink* link = nullptr;
  std::wstring fileName;
  struct sPending {
    std::chrono::steady_clock::time_point due;
    tarnsim::sAction action;
  };
  std::deque<sPending> pending;
  DWORD restartMs = 1000;
  bool left = false;
  bool stopping = false;
  std::thread deliverer;
};

}  // namespace worldsim
