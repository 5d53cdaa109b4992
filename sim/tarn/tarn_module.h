// The module's side of the Tarn download protocol, as a core without I/O: bytes the host wrote
// go in, the bytes the module answers (and when), disconnects and the restart come out. Written
// from the packet layouts alone, with its own CRC and framing, so that it checks the host rather
// than mirroring it. Adapters bind it to an emulated COM port or to a pseudo-terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnsim {

// 64-bit FNV-1a, continued from `state` (start with kFnvOffset): the digest of what arrived.
constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
uint64_t Fnv1a64(const uint8_t* data, size_t length, uint64_t state = kFnvOffset);

// CRC-16/X-25 computed bit by bit, and HDLC framing: the module's own implementation.
uint16_t Crc16X25(const uint8_t* data, size_t length);
std::vector<uint8_t> FrameHdlc(const std::vector<uint8_t>& packet);

enum class eDoneBehaviour {
  Leave,        // restart without answering: the port goes away
  ErrorPacket,  // answer the done packet with an error packet
};

struct sModuleConfig {
  uint32_t firmwareSet = 0xFFFFFFFF;  // 0xFFFFFFFF: no configured set
  uint16_t imageVersion = 0;
  uint16_t openStatus = 0;  // answer to open-unframed; 0 accepts
  uint32_t chunkSize = 0x00100000;
  uint16_t writeStatus = 0;  // answer to every chunk; 0 = written
  eDoneBehaviour done = eDoneBehaviour::Leave;
};

enum class eFaultKind {
  Drop,         // the response is not sent
  Delay,        // the response is sent `delayMs` late
  Corrupt,      // the response is sent with a byte changed, so its FCS fails
  ErrorPacket,  // an error packet instead of the response; on a chunk, once `afterBytes` of its
                // data have arrived (mid-transfer), and the rest of the chunk is discarded
  Silence,      // from this request on nothing is answered
  Disconnect,   // the line drops at this request (on a chunk, after `afterBytes` of data)
};

struct sFault {
  eFaultKind kind = eFaultKind::Drop;
  uint8_t request = 0;      // request code it applies to; 0 = any request
  unsigned occurrence = 1;  // the n-th matching request, from 1; 0 = every matching request
  uint32_t delayMs = 0;
  uint32_t afterBytes = 0;
};

// Parses "kind:request[:occurrence[:value]]", e.g. "drop:0x25", "delay:0x01:1:500",
// "error:0x27:2:100" (value is delayMs for delay, afterBytes otherwise), "silence:0:3".
bool ParseFault(const std::string& text, sFault& fault);

struct sAction {
  enum class eKind { Send, Disconnect, Leave } kind = eKind::Send;
  std::vector<uint8_t> bytes;  // Send: bytes for the line
  uint32_t delayMs = 0;        // Send: how long after the triggering input
  // Send: the module stops taking data (flow control) until the host purges its output; set on
  // an error packet sent while a chunk is still arriving.
  bool holdLine = false;
};

// What arrived for one accepted open-unframed.
struct sImageRecord {
  uint8_t type = 0;
  uint32_t announced = 0;  // length in the open-unframed request
  uint64_t received = 0;   // bytes of accepted chunks
  uint32_t chunks = 0;     // accepted chunks
  uint64_t digest = kFnvOffset;
  bool Complete() const { return received == announced; }
};

struct sModuleStats {
  unsigned hellos = 0, opens = 0, chunksAccepted = 0, chunksRejected = 0, dones = 0;
  unsigned badFrames = 0;   // frames whose FCS failed
  unsigned badHeaders = 0;  // write-unframed headers whose CRC failed
  unsigned unknown = 0;     // framed packets the module does not know
  uint64_t strayBytes = 0;  // bytes outside any frame or transfer
};

class cTarnModule {
 public:
  explicit cTarnModule(sModuleConfig config = {});

  sModuleConfig& Config() { return config; }
  void AddFault(const sFault& fault) { faults.push_back(fault); }
  void ClearFaults() { faults.clear(); }

  // Handles bytes the host wrote and returns what the module does in response, in order.
  std::vector<sAction> Receive(const uint8_t* data, size_t length);
  // A new connection (the line was reopened or the module restarted): parsing starts afresh;
  // records and statistics stay.
  void ResetLine();

  const std::vector<sImageRecord>& Images() const { return images; }
  const sModuleStats& Stats() const { return stats; }
  // Request codes in the order they arrived (framed packets and write-unframed headers).
  const std::vector<uint8_t>& Requests() const { return requests; }
  bool Silent() const { return silent; }

 private:
  enum class eRx { Idle, Frame, Header, Data, Discard };

  void HandleFrame(std::vector<sAction>& out);
  void HandleHeader(std::vector<sAction>& out);
  void FinishChunk(std::vector<sAction>& out);
  // Counts the request and returns the fault that applies to it, if any.
  std::optional<sFault> CountRequest(uint8_t code);
  // Queues `packet` as the answer to the current request, unless a fault says otherwise.
  void Answer(const std::vector<uint8_t>& packet, const std::optional<sFault>& fault,
              std::vector<sAction>& out);
  std::vector<uint8_t> ErrorPacket(uint32_t code) const;

  sModuleConfig config;
  std::vector<sFault> faults;
  std::vector<sImageRecord> images;
  sModuleStats stats;
  std::vector<uint8_t> requests;
  unsigned countByCode[256] = {};
  unsigned countAll = 0;
  bool silent = false;

  eRx rx = eRx::Idle;
  std::vector<uint8_t> frame;
  bool escape = false;
  uint8_t header[13] = {};
  size_t headerLength = 0;
  // The chunk being received.
  uint32_t chunkLength = 0, chunkReceived = 0;
  uint64_t chunkDigest = kFnvOffset;
  bool chunkAcceptable = false;
  std::optional<sFault> chunkFault;  // mid-transfer fault armed for this chunk
  // The image being written: index into images, or -1.
  long current = -1;
  uint16_t nextSequence = 0;
};

}  // namespace tarnsim
