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

cInProcessModule::cInProcessModule(sModuleIdentity identity, tarnsim::sModuleConfig config)
    : id(std::move(identity)), module(config) {
  deliverer = std::thread([this] { Deliver(); });
}

cInProcessModule::~cInProcessModule() {
  {
    std::lock_guard<std::mutex> g(lock);
    stopping = true;
  }
  changed.notify_all();
  deliverer.join();
}

void cInProcessModule::Arrive(bool withPortName) {
  win32emu::BindPort(id.portName, shared_from_this());
  PlugModule(id, withPortName);
}

void cInProcessModule::AddFault(const tarnsim::sFault& fault) {
  std::lock_guard<std::mutex> g(lock);
  module.AddFault(fault);
}

std::vector<tarnsim::sImageRecord> cInProcessModule::Images() {
  std::lock_guard<std::mutex> g(lock);
  return module.Images();
}

tarnsim::sModuleStats cInProcessModule::Stats() {
  std::lock_guard<std::mutex> g(lock);
  return module.Stats();
}

std::wstring cInProcessModule::OpenedFileName() {
  std::lock_guard<std::mutex> g(lock);
  return fileName;
}

bool cInProcessModule::WaitLeft(DWORD ms) {
  std::unique_lock<std::mutex> g(lock);
  return changed.wait_for(g, std::chrono::milliseconds(ms), [this] { return left; });
}

void cInProcessModule::OnOpen(win32emu::PortLink& l, const std::wstring& name) {
  std::lock_guard<std::mutex> g(lock);
  link = &l;
  fileName = name;
  module.ResetLine();
}

void cInProcessModule::OnWrite(const void* data, size_t size) {
  std::lock_guard<std::mutex> g(lock);
  auto now = std::chrono::steady_clock::now();
  for (auto& a : module.Receive(static_cast<const uint8_t*>(data), size)) {
    // The module stops taking data at once, so that the rest of the chunk waits in the port
    // while the error packet goes back.
    if (a.holdLine && link) link->Stall(true);
    auto due = now + std::chrono::milliseconds(a.delayMs);
    // A later answer never overtakes an earlier one.
    if (!pending.empty() && due < pending.back().due) due = pending.back().due;
    pending.push_back({due, std::move(a)});
  }
  changed.notify_all();
}

void cInProcessModule::OnPurge(DWORD flags) {
  std::lock_guard<std::mutex> g(lock);
  if (link && (flags & (PURGE_TXABORT | PURGE_TXCLEAR))) link->Stall(false);
}

void cInProcessModule::OnClose() {
  std::lock_guard<std::mutex> g(lock);
  link = nullptr;
  pending.clear();
}

void cInProcessModule::Deliver() {
  std::unique_lock<std::mutex> g(lock);
  for (;;) {
    if (stopping) return;
    if (pending.empty()) {
      changed.wait(g);
      continue;
    }
    auto due = pending.front().due;
    if (std::chrono::steady_clock::now() < due) {
      changed.wait_until(g, due);
      continue;
    }
    tarnsim::sAction a = std::move(pending.front().action);
    pending.pop_front();
    win32emu::PortLink* l = link;
    if (a.kind == tarnsim::sAction::eKind::Send) {
      if (l) l->Push(a.bytes.data(), a.bytes.size());
    } else if (a.kind == tarnsim::sAction::eKind::Disconnect) {
      if (l) l->Disconnect(ERROR_GEN_FAILURE);
    } else {
      // The restart: a moment later the line drops and the device goes away. Unplugging talks
      // to the service, which may close the port: done without the module's lock.
      pending.clear();
      if (changed.wait_for(g, std::chrono::milliseconds(restartMs), [this] { return stopping; }))
        return;
      l = link;
      g.unlock();
      if (l) l->Disconnect(ERROR_DEVICE_REMOVED);
      UnplugModule(id);
      g.lock();
      left = true;
      changed.notify_all();
    }
  }
}

}  // namespace worldsim
