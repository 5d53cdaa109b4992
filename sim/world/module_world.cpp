#include "sim/world/module_world.h"

#include <dbt.h>

#include <algorithm>
#include <cwctype>

#include "win32emu/devices.h"
#include "win32emu/world.h"

namespace worldsim {

const GUID kComPortClass = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

namespace {
std::wstring Upper(std::wstring s) {
  std::transform(s.begin(), s.end(), s.begin(), towupper);
  return s;
}
std::wstring ParametersKey(const sModuleIdentity& id) {
  return L"SYSTEM\\CurrentControlSet\\Enum\\USB\\" + Upper(id.deviceId) + L"\\" + id.instance +
         L"\\Device Parameters";
}
}  // namespace

std::wstring InterfacePath(const sModuleIdentity& id) {
  return L"\\\\?\\usb#" + id.deviceId + L"#" + id.instance +
         L"#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
}

void PlugModule(const sModuleIdentity& id, bool withPortName) {
  if (withPortName) {
    std::wstring port = id.portName;
    win32emu::SetRegistryValue(HKEY_LOCAL_MACHINE, ParametersKey(id), L"PortName", REG_SZ,
                               port.c_str(),
                               static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t)));
  } else {
    HKEY key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, ParametersKey(id).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &key, nullptr);
    RegCloseKey(key);
  }
  win32emu::AddDeviceInterface(kComPortClass, InterfacePath(id));
  win32emu::SendDeviceInterfaceEvent(kServiceName, DBT_DEVICEARRIVAL, kComPortClass,
                                     InterfacePath(id));
}

void UnplugModule(const sModuleIdentity& id) {
  win32emu::RemoveDeviceInterface(kComPortClass, InterfacePath(id));
  win32emu::UnbindPort(id.portName);
  win32emu::SendDeviceInterfaceEvent(kServiceName, DBT_DEVICEREMOVECOMPLETE, kComPortClass,
                                     InterfacePath(id));
}

cInProcessModule::cInProcessModule(sModuleIdentity identity, tarnsim::sModuleConfig cfg)
    : id(std::move(identity)),
      config(cfg),
      peer(std::make_shared<tarnsim::cTarnModulePeer>(id.portName, cfg)) {}

cInProcessModule::~cInProcessModule() {
  {
    std::lock_guard<std::mutex> g(lock);
    stopping = true;
  }
  changed.notify_all();
  if (watcher.joinable()) watcher.join();
  win32emu::UnbindPort(id.portName);
}

void cInProcessModule::Arrive(bool withPortName) {
  if (watcher.joinable()) watcher.join();
  if (peer->Left()) peer = std::make_shared<tarnsim::cTarnModulePeer>(id.portName, config);
  {
    std::lock_guard<std::mutex> g(lock);
    unplugged = false;
  }
  win32emu::BindPort(id.portName, peer);
  PlugModule(id, withPortName);
  watcher = std::thread([this] { Watch(); });
}

bool cInProcessModule::WaitLeft(DWORD ms) {
  std::unique_lock<std::mutex> g(lock);
  return changed.wait_for(g, std::chrono::milliseconds(ms), [this] { return unplugged; });
}

void cInProcessModule::Watch() {
  for (;;) {
    if (peer->WaitLeft(50)) break;
    std::lock_guard<std::mutex> g(lock);
    if (stopping) return;
  }
  UnplugModule(id);
  std::lock_guard<std::mutex> g(lock);
  unplugged = true;
  changed.notify_all();
}

}  // namespace worldsim
