#include "tarn/tarn_records.h"

#include <new>

namespace brisa {

namespace {

sSharedBuffer* NewSentBlock(const BYTE* bytes, DWORD size) {
  sSharedBuffer* block = new (std::nothrow) sSharedBuffer(kTagSent, size, bytes);
  if (block != nullptr && !block->IsValidBlock()) {
    delete block;
    block = nullptr;
  }
  return block;
}

}  // namespace

sSharedBuffer* BuildTarnHello() {
  BYTE bytes[kTarnHelloRequestSize];
  TarnHelloRequestBytes(bytes);
  return NewSentBlock(bytes, sizeof(bytes));
}

sSharedBuffer* BuildTarnOpenUnframed(BYTE imageType, DWORD imageLength) {
  BYTE bytes[kTarnOpenUnframedRequestSize];
  if (!TarnOpenUnframedBytes(imageType, imageLength, bytes)) return nullptr;
  return NewSentBlock(bytes, sizeof(bytes));
}

sSharedBuffer* BuildTarnWriteUnframedHeader(DWORD chunkLength, WORD sequence) {
  BYTE bytes[kTarnWriteUnframedHeaderSize];
  if (!TarnWriteUnframedHeaderBytes(chunkLength, sequence, bytes)) return nullptr;
  return NewSentBlock(bytes, sizeof(bytes));
}

sSharedBuffer* BuildTarnDone() {
  const BYTE bytes[kTarnDoneRequestSize] = {kTarnDoneRequest};
  return NewSentBlock(bytes, sizeof(bytes));
}

bool BuildTarnChunkList(DWORD imageLength, DWORD chunkSize, std::vector<sProtocolBuffer>& headers) {
  headers.clear();
  sTarnChunkPlan plan;
  if (!TarnPlanChunks(imageLength, chunkSize, plan)) return false;
  try {
    headers.reserve(plan.count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (DWORD i = 0; i < plan.count; ++i) {
    DWORD length = i + 1 == plan.count ? plan.lastLength : chunkSize;
    sSharedBuffer* block = BuildTarnWriteUnframedHeader(length, static_cast<WORD>(i));
    if (block == nullptr) {
      headers.clear();
      return false;
    }
    headers.emplace_back(block);  // the view takes the block's first reference
  }
  return true;
}

sTarnHello::~sTarnHello() = default;
sTarnOpenUnframed::~sTarnOpenUnframed() = default;
sTarnWriteUnframed::~sTarnWriteUnframed() = default;

}  // namespace brisa
