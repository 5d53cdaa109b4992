#include "sim/tarn/tarn_module_peer.h"

namespace tarnsim {

using Clock = std::chrono::steady_clock;

std::shared_ptr<cTarnModulePeer> cTarnModulePeer::Bind(const std::wstring& portName,
                                                       sModuleConfig config) {
  auto peer = std::make_shared<cTarnModulePeer>(portName, config);
  win32emu::BindPort(portName, peer);
  return peer;
}

cTarnModulePeer::cTarnModulePeer(std::wstring portName_, sModuleConfig config)
    : portName(std::move(portName_)), module(config) {
  deliverer = std::thread([this] { Deliver(); });
}

cTarnModulePeer::~cTarnModulePeer() {
  {
    std::lock_guard<std::mutex> g(lock);
    stopping = true;
  }
  changed.notify_all();
  // The last reference may go with the unbinding done on the delivering thread itself.
  if (deliverer.get_id() == std::this_thread::get_id())
    deliverer.detach();
  else
    deliverer.join();
}

void cTarnModulePeer::AddFault(const sFault& fault) {
  std::lock_guard<std::mutex> g(lock);
  module.AddFault(fault);
}

void cTarnModulePeer::SetConfig(const sModuleConfig& config) {
  std::lock_guard<std::mutex> g(lock);
  module.Config() = config;
}

std::vector<sImageRecord> cTarnModulePeer::Images() {
  std::lock_guard<std::mutex> g(lock);
  return module.Images();
}
sModuleStats cTarnModulePeer::Stats() {
  std::lock_guard<std::mutex> g(lock);
  return module.Stats();
}
std::vector<uint8_t> cTarnModulePeer::Requests() {
  std::lock_guard<std::mutex> g(lock);
  return module.Requests();
}
std::wstring cTarnModulePeer::FileName() {
  std::lock_guard<std::mutex> g(lock);
  return fileName;
}
DCB cTarnModulePeer::Settings() {
  std::lock_guard<std::mutex> g(lock);
  return dcb;
}
COMMTIMEOUTS cTarnModulePeer::Timeouts() {
  std::lock_guard<std::mutex> g(lock);
  return timeouts;
}
unsigned cTarnModulePeer::Opens() {
  std::lock_guard<std::mutex> g(lock);
  return opens;
}
bool cTarnModulePeer::Left() {
  std::lock_guard<std::mutex> g(lock);
  return left;
}
bool cTarnModulePeer::WaitLeft(unsigned ms) {
  std::unique_lock<std::mutex> g(lock);
  return changed.wait_for(g, std::chrono::milliseconds(ms), [this] { return left; });
}

void cTarnModulePeer::OnOpen(win32emu::PortLink& link_, const std::wstring& fileName_) {
  std::lock_guard<std::mutex> g(lock);
  link = &link_;
  fileName = fileName_;
  ++opens;
  module.ResetLine();
}

void cTarnModulePeer::OnSettings(const DCB& dcb_, const COMMTIMEOUTS& timeouts_) {
  std::lock_guard<std::mutex> g(lock);
  dcb = dcb_;
  timeouts = timeouts_;
}

void cTarnModulePeer::OnWrite(const void* data, size_t size) {
  {
    std::lock_guard<std::mutex> g(lock);
    if (link == nullptr || left) return;
    Clock::time_point now = Clock::now();
    for (auto& a : module.Receive(static_cast<const uint8_t*>(data), size)) {
      // Held off at once, from inside the write, so that no later data is taken.
      if (a.holdLine && !holding) {
        holding = true;
        link->Stall(true);
      }
      // Answers leave in order: a later one never overtakes a delayed one.
      Clock::time_point due = now + std::chrono::milliseconds(a.delayMs);
      if (!pending.empty() && due < pending.back().due) due = pending.back().due;
      pending.push_back({due, std::move(a)});
    }
  }
  changed.notify_all();
}

void cTarnModulePeer::OnPurge(DWORD flags) {
  std::lock_guard<std::mutex> g(lock);
  // The host gave up the chunk the module refused: both sides start afresh.
  if ((flags & PURGE_TXABORT) && holding && link != nullptr) {
    holding = false;
    module.ResetLine();
    link->Stall(false);
  }
}

void cTarnModulePeer::OnClose() {
  std::lock_guard<std::mutex> g(lock);
  // Answers still on their way are lost with the line.
  pending.clear();
  link = nullptr;
  holding = false;
  module.ResetLine();
}

// Answers go out from this thread, never from inside the port's callbacks, so that a delayed
// answer, the restart and the unbinding of the port all happen in the order the core gave.
void cTarnModulePeer::Deliver() {
  std::unique_lock<std::mutex> g(lock);
  while (!stopping) {
    if (pending.empty()) {
      changed.wait(g);
      continue;
    }
    if (Clock::now() < pending.front().due) {
      changed.wait_until(g, pending.front().due);
      continue;
    }
    sAction a = std::move(pending.front().action);
    pending.pop_front();
    if (link == nullptr) continue;
    if (a.kind == sAction::eKind::Send) {
      link->Push(a.bytes.data(), a.bytes.size());
      continue;
    }
    link->Disconnect(ERROR_GEN_FAILURE);
    pending.clear();
    left = true;
    if (a.kind == sAction::eKind::Leave) {
      // The binding may hold the last reference: keep this object alive through the unbinding,
      // and when nothing else holds it afterwards, let it go here and touch nothing more.
      std::shared_ptr<cTarnModulePeer> self = weak_from_this().lock();
      g.unlock();
      win32emu::UnbindPort(portName);
      if (self && self.use_count() == 1) {
        self.reset();
        return;
      }
      self.reset();
      g.lock();
    }
    changed.notify_all();
  }
}

}  // namespace tarnsim
