// The module emulator bound in-process to a COM port name of the emulated world: what the
// application writes to the port goes into the protocol core, and the core's answers come back
// as received bytes, delayed ones on time. When the module restarts after the done packet, the
// line drops and the port name goes away, as a module leaving its download mode does.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/tarn/tarn_module.h"
#include "win32emu/ports.h"

namespace tarnsim {

class cTarnModulePeer : public win32emu::PortPeer,
                        public std::enable_shared_from_this<cTarnModulePeer> {
 public:
  // Binds a new emulator to `portName` (replacing an earlier binding).
  static std::shared_ptr<cTarnModulePeer> Bind(const std::wstring& portName,
                                               sModuleConfig config = {});

  cTarnModulePeer(std::wstring portName, sModuleConfig config);
  ~cTarnModulePeer() override;

  void AddFault(const sFault& fault);
  void SetConfig(const sModuleConfig& config);

  // Snapshots, safe from any thread.
  std::vector<sImageRecord> Images();
  sModuleStats Stats();
  std::vector<uint8_t> Requests();
  std::wstring FileName();  // what followed the port name at the last open
  DCB Settings();           // the line settings last applied
  COMMTIMEOUTS Timeouts();
  unsigned Opens();
  bool Left();  // the module restarted (or a scripted disconnect dropped the line)
  // Waits until Left() or `ms` pass; true when it left.
  bool WaitLeft(unsigned ms);

  void OnOpen(win32emu::PortLink& link, const std::wstring& fileName) override;
  void OnSettings(const DCB& dcb, const COMMTIMEOUTS& timeouts) override;
  void OnWrite(const void* data, size_t size) override;
  void OnPurge(DWORD flags) override;
  void OnClose() override;

 private:
  struct sPending {
    std::chrono::steady_clock::time_point due;
    sAction action;
  };
  void Deliver();

  const std::wstring portName;
  std::mutex lock;
  std::condition_variable changed;
  cTarnModule module;
  win32emu::PortLink* link = nullptr;
  std::deque<sPending> pending;
  std::wstring fileName;
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  unsigned opens = 0;
  bool left = false;
  bool stopping = false;
  bool holding = false;  // the line is stalled until the host purges its output
  std::thread deliverer;
};

}  // namespace tarnsim
