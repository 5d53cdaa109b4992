#include "tarn/tarn_protocol_server.h"

#include "tarn/tarn_packets.h"

namespace brisa {

cTarnProtocolServer::~cTarnProtocolServer() {
  // The worker calls IsResponse and IsErrorPacket: stop it before this part is torn down.
  StopWorker();
}

int cTarnProtocolServer::Encode(const sProtocolRequest& request, sSharedBuffer** toWrite) {
  if (request.IsValid() && request.Data()[0] == kTarnWriteUnframedRequest) {
    *toWrite = nullptr;
    return 0;
  }
  return cHDLCProtocolServer::Encode(request, toWrite);
}

bool cTarnProtocolServer::IsResponse(const sProtocolBuffer& packet) {
  const sTransaction* t = InFlight();
  if (t == nullptr) return false;
  return TarnIsResponse(t->request.Data(), t->request.Size(), t->responseArmed != 0, packet.Data(),
                        packet.Size());
}

bool cTarnProtocolServer::IsErrorPacket(const sProtocolBuffer& packet) {
  const sTransaction* t = InFlight();
  if (t == nullptr) return false;
  return TarnIsErrorPacket(t->request.Data(), t->request.Size(), t->responseArmed != 0,
                           packet.Data(), packet.Size());
}

}  // namespace brisa
