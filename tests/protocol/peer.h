// An in-process port endpoint that records what the application writes and lets each test
// script the answers.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "win32emu/ports.h"

namespace brisa::test {

class ScriptedPeer : public win32emu::PortPeer {
 public:
  // Called after each piece of written data with everything received so far; runs on the
  // emulation's thread, without the peer's lock.
  using Script = std::function<void(const std::string& received, win32emu::PortLink& link)>;

  void SetScript(Script s) {
    std::lock_guard<std::mutex> hold(lock);
    script = std::move(s);
  }

  void OnOpen(win32emu::PortLink& l, const std::wstring& name) override {
    std::lock_guard<std::mutex> hold(lock);
    link = &l;
    fileName = name;
    ++opens;
    changed.notify_all();
  }
  void OnSettings(const DCB& d, const COMMTIMEOUTS& t) override {
    std::lock_guard<std::mutex> hold(lock);
    dcb = d;
    timeouts = t;
  }
  void OnWrite(const void* data, size_t size) override {
    Script run;
    std::string all;
    win32emu::PortLink* target;
    {
      std::lock_guard<std::mutex> hold(lock);
      received.append(static_cast<const char*>(data), size);
      all = received;
      run = script;
      target = link;
      changed.notify_all();
    }
    if (run && target) run(all, *target);
  }
  void OnPurge(DWORD flags) override {
    std::lock_guard<std::mutex> hold(lock);
    purges |= flags;
  }
  void OnClose() override {
    std::lock_guard<std::mutex> hold(lock);
    link = nullptr;
    ++closes;
    changed.notify_all();
  }

  // Pushes bytes towards the application (the port must be open).
  void Push(const std::string& bytes) {
    std::lock_guard<std::mutex> hold(lock);
    if (link) link->Push(bytes.data(), bytes.size());
  }
  void Stall(bool on) {
    std::lock_guard<std::mutex> hold(lock);
    if (link) link->Stall(on);
  }
  // Waits (at most 10 s) until `size` bytes have been received.
  std::string WaitReceived(size_t size) {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait_for(hold, std::chrono::seconds(10), [&] { return received.size() >= size; });
    return received;
  }
  std::string Received() {
    std::lock_guard<std::mutex> hold(lock);
    return received;
  }
  std::wstring FileName() {
    std::lock_guard<std::mutex> hold(lock);
    return fileName;
  }
  DWORD Purges() {
    std::lock_guard<std::mutex> hold(lock);
    return purges;
  }
  int Closes() {
    std::lock_guard<std::mutex> hold(lock);
    return closes;
  }

 private:
  std::mutex lock;
  std::condition_variable changed;
  Script script;
  win32emu::PortLink* link = nullptr;
  std::wstring fileName;
  std::string received;
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  DWORD purges = 0;
  int opens = 0;
  int closes = 0;
};

}  // namespace brisa::test
