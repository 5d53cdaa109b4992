// Arbitrary byte streams into the receive path: HDLC reassembly across reads of varying size,
// then response matching against each kind of request in flight, and the same stream into the
// module emulator's parser.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "sim/tarn/tarn_module.h"
#include "tarn/hdlc_frame.h"
#include "tarn/tarn_packets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const uint8_t kRequests[] = {0x01, 0x25, 0x27, 0x29, 0x55};
  const uint8_t request[1] = {kRequests[data[0] % sizeof(kRequests)]};
  const bool armed = (data[1] & 1) != 0;
  // Read sizes vary with the input so that frames split at every kind of place.
  size_t piece = 1 + data[1] % 64;
  data += 2;
  size -= 2;

  brisa::cHDLCReassembler rx;
  size_t responses = 0, errors = 0;
  auto onPacket = [&](const uint8_t* p, size_t n) {
    if (n == 0 || n > rx.Capacity()) std::abort();  // a delivered packet is never empty
    if (brisa::TarnIsResponse(request, 1, armed, p, n)) ++responses;
    if (brisa::TarnIsErrorPacket(request, 1, armed, p, n)) ++errors;
    if (responses && errors) std::abort();  // one packet state never both completes and aborts
    responses = errors = 0;
  };
  for (size_t at = 0; at < size; at += piece) {
    size_t n = size - at < piece ? size - at : piece;
    rx.Feed(data + at, n, onPacket);
    if (rx.FrameLength() > rx.Capacity()) std::abort();
  }

  tarnsim::cTarnModule module;
  for (size_t at = 0; at < size; at += piece) {
    size_t n = size - at < piece ? size - at : piece;
    for (const auto& action : module.Receive(data + at, n)) {
      if (action.kind == tarnsim::sAction::eKind::Send && action.bytes.size() < 5) std::abort();
    }
  }
  return 0;
}
