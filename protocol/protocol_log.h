// The last 512 packets a protocol server sent or received, for hex dumps into the service log.
#pragma once

#include <windows.h>

#include "protocol/protocol_buffers.h"
#include "protocol/service_log.h"

namespace brisa {

constexpr DWORD kInvalidLogIndex = 0xFFFFFFFFu;

class cProtocolLog {
 public:
  static constexpr DWORD kCapacity = 512;

  cProtocolLog() : history(kCapacity, false) {}
  virtual ~cProtocolLog();
  cProtocolLog(const cProtocolLog&) = delete;
  cProtocolLog& operator=(const cProtocolLog&) = delete;

  // Stores a view on the packet's block (no copy); returns its absolute index, or
  // kInvalidLogIndex (and stores nothing) when the packet is not valid.
  virtual DWORD Add(const sProtocolBuffer& packet);
  // A view sharing the packet's block; empty when the index is no longer held.
  virtual sProtocolBuffer Get(DWORD index);
  // Packets ever added since the last Clear.
  virtual DWORD Count();
  virtual void Clear();

 private:
  cHistoryQueue<sProtocolBuffer> history;
};

// Writes one packet of `log` into `serviceLog` as a header line and lines of 16 bytes in hex.
void DumpPacket(cProtocolLog& log, DWORD index, cServiceLog& serviceLog);

}  // namespace brisa
