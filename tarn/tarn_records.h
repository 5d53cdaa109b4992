// Tarn request builders (blocks tagged as sent) and the records that read the module's
// responses. A record is valid when its block is a received or sent block of exactly the
// response's size; the content (codes, magic text, status) is for the users to check.
#pragma once

#include <windows.h>

#include <vector>

#include "protocol/protocol_buffers.h"
#include "tarn/tarn_packets.h"

namespace brisa {

// Each builder returns a new block with tag kTagSent and no reference yet, or null when the
// arguments are out of range or memory is short.
sSharedBuffer* BuildTarnHello();
// Only for the image types 5, 6 and 13.
sSharedBuffer* BuildTarnOpenUnframed(BYTE imageType, DWORD imageLength);
// Only for chunk lengths from 1 to kTarnMaxChunkLength.
sSharedBuffer* BuildTarnWriteUnframedHeader(DWORD chunkLength, WORD sequence);
sSharedBuffer* BuildTarnDone();
// The write-unframed headers for an image, in order (sequence 0 up). False, with `headers`
// empty, for a chunk size outside 1..kTarnMaxChunkLength, an empty image, or short memory.
// Sequence numbers are 16 bits on the wire and wrap after 65535 chunks.
bool BuildTarnChunkList(DWORD imageLength, DWORD chunkSize, std::vector<sProtocolBuffer>& headers);

// Reads a block as one response; shared (not copied) with the view it is built from.
template <DWORD kSize>
struct sTarnResponse : sProtocolBuffer {
  static constexpr DWORD kResponseSize = kSize;

  explicit sTarnResponse(sSharedBuffer* block) : sProtocolBuffer(block) { Validate(); }
  explicit sTarnResponse(const sProtocolBuffer& packet) : sProtocolBuffer(packet) { Validate(); }
  ~sTarnResponse() override = default;

  bool Validate() override {
    valid = sProtocolBuffer::Validate() &&
                    (buffer->tag == kTagReceived || buffer->tag == kTagSent) &&
                    buffer->size == kSize
                ? 1
                : 0;
    return valid != 0;
  }

  BYTE Code() const { return IsValid() ? buffer->data[0] : 0; }

 protected:
  WORD Le16At(DWORD offset) const { return IsValid() ? TarnGetLe16(buffer->data + offset) : 0; }
  DWORD Le32At(DWORD offset) const { return IsValid() ? TarnGetLe32(buffer->data + offset) : 0; }
};

struct sTarnHello : sTarnResponse<kTarnHelloResponseSize> {
  using sTarnResponse::sTarnResponse;
  ~sTarnHello() override;
  // Which numbered image folder to use; 0xFFFFFFFF means none.
  DWORD ConfiguredFirmware() const { return Le32At(25); }
  // The version the module requires of the AMSS image.
  WORD ImageVersion() const { return Le16At(29); }
};

struct sTarnOpenUnframed : sTarnResponse<kTarnOpenUnframedResponseSize> {
  using sTarnResponse::sTarnResponse;
  ~sTarnOpenUnframed() override;
  WORD Status() const { return Le16At(1); }  // 0 = accepted
  // The longest write-unframed transfer the module accepts, as it reported it.
  DWORD ChunkSize() const { return Le32At(4); }
};

struct sTarnWriteUnframed : sTarnResponse<kTarnWriteUnframedResponseSize> {
  using sTarnResponse::sTarnResponse;
  ~sTarnWriteUnframed() override;
  WORD Status() const { return Le16At(7); }  // 0 = written
};

}  // namespace brisa
