// A protocol server whose packets travel in HDLC-style frames: it frames outgoing packets,
// reassembles and checks incoming frames across reads, and applies the port settings framed
// traffic needs. Which packet answers or aborts the request in flight is the derived
// protocol's decision.
#pragma once

#include <windows.h>

#include "protocol/protocol_buffers.h"
#include "protocol/protocol_server.h"
#include "tarn/hdlc_frame.h"

namespace brisa {

class cHDLCProtocolServer : public cProtocolServer {
 public:
  cHDLCProtocolServer();
  ~cHDLCProtocolServer() override;

 protected:
  // Raw 8-bit data without software flow control or error substitution, and reads that
  // complete 2 ms after the last byte instead of waiting for a full buffer.
  bool OnConnect() override;
  bool OnDisconnect() override;
  // Frames the request's block; a packet whose frame would exceed the largest block fails.
  int Encode(const sProtocolRequest& request, sSharedBuffer** toWrite) override;
  bool Decode(DWORD bytes, DWORD* responseIndex, bool* errorPacket) override;

  // A received packet that completes the request in flight.
  virtual bool IsResponse(const sProtocolBuffer& packet) = 0;
  // A received packet that aborts the request in flight.
  virtual bool IsErrorPacket(const sProtocolBuffer& packet) = 0;

  DWORD rxTag;
  // The most recently framed packet; held until the next framing so that its write can finish.
  sProtocolBuffer lastFramed;
  // Reassembly state carries over from one read to the next and across reconnects.
  cHDLCReassembler reassembler;
};

}  // namespace brisa
