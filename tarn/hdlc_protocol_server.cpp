#include "tarn/hdlc_protocol_server.h"

#include <new>

namespace brisa {

cHDLCProtocolServer::cHDLCProtocolServer()
    : rxTag(kTagReceived), reassembler(4 * static_cast<size_t>(RxBufferSize())) {}

cHDLCProtocolServer::~cHDLCProtocolServer() {
  // The worker calls Encode and Decode, which use members destroyed after this body.
  StopWorker();
}

bool cHDLCProtocolServer::OnConnect() {
  HANDLE port = comm.GetHandle();
  DCB dcb = {};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(port, &dcb)) return false;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fAbortOnError = 0;
  dcb.ByteSize = 8;
  if (!SetCommState(port, &dcb)) return false;
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = 2;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 1000;
  timeouts.WriteTotalTimeoutConstant = 1;
  return SetCommTimeouts(port, &timeouts) != FALSE;
}

bool cHDLCProtocolServer::OnDisconnect() { return true; }

int cHDLCProtocolServer::Encode(const sProtocolRequest& request, sSharedBuffer** toWrite) {
  *toWrite = nullptr;
  if (!request.IsValid()) return -1;
  const DWORD size = request.Size();
  BYTE* framed = new (std::nothrow) BYTE[HdlcFramedBound(size)];
  if (framed == nullptr) return -1;
  DWORD framedSize = static_cast<DWORD>(HdlcFrame(request.Data(), size, framed));
  // Adopting refuses (and frees) a frame longer than the largest block: the view stays empty
  // and the server fails the request.
  sSharedBuffer* block = new (std::nothrow) sSharedBuffer(framed, framedSize, request.buffer->tag);
  if (block == nullptr) {
    delete[] framed;
    lastFramed = sProtocolBuffer();
    return -1;
  }
  sProtocolBuffer view(block);
  if (!view.IsValid()) delete block;  // never referenced, so not released by the view
  lastFramed = view;
  if (!lastFramed.IsValid()) return -1;
  *toWrite = lastFramed.buffer;
  return 1;
}

bool cHDLCProtocolServer::Decode(DWORD bytes, DWORD* responseIndex, bool* errorPacket) {
  bool found = false;
  *errorPacket = false;
  *responseIndex = kInvalidLogIndex;
  const BYTE* data = RxBuffer();
  if (data == nullptr) return false;
  if (bytes > RxBufferSize()) bytes = RxBufferSize();
  reassembler.Feed(data, bytes, [&](const uint8_t* packet, size_t length) {
    sSharedBuffer* block =
        new (std::nothrow) sSharedBuffer(rxTag, static_cast<DWORD>(length), packet);
    if (block == nullptr) return;
    sProtocolBuffer view(block);
    if (!view.IsValid()) {
      delete block;
      return;
    }
    DWORD index = protocolLog.Add(view);
    if (IsErrorPacket(view)) {
      *errorPacket = true;
    } else if (IsResponse(view)) {
      found = true;
      *responseIndex = index;
    }
  });
  return found;
}

}  // namespace brisa
