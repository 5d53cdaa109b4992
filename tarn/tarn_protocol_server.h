// The protocol server of a Tarn download: HDLC-framed packets, except the write-unframed header,
// which goes out raw followed by its chunk; and the table of which packet answers which request.
#pragma once

#include "tarn/hdlc_protocol_server.h"

namespace brisa {

class cTarnProtocolServer : public cHDLCProtocolServer {
 public:
  cTarnProtocolServer() = default;
  ~cTarnProtocolServer() override;

 protected:
  int Encode(const sProtocolRequest& request, sSharedBuffer** toWrite) override;
  // Only the answering code completes a request, and only once it has been written whole.
  bool IsResponse(const sProtocolBuffer& packet) override;
  // An error packet aborts a request only while it is still being written.
  bool IsErrorPacket(const sProtocolBuffer& packet) override;
};

}  // namespace brisa
