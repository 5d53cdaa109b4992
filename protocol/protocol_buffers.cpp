#include "protocol/protocol_buffers.h"

#include <cstring>
#include <new>

namespace brisa {

namespace {

// Zero-initialised before any constructor runs, so that blocks made during static construction
// of other objects see "not ready" and count without the lock.
constinit std::atomic<bool> bufferLockReady{false};

struct sBufferLock {
  CRITICAL_SECTION section;
  sBufferLock() {
    InitializeCriticalSectionAndSpinCount(&section, 5000);
    bufferLockReady.store(true);
  }
  ~sBufferLock() {
    bufferLockReady.store(false);
    DeleteCriticalSection(&section);
  }
};

sBufferLock bufferLock;

}  // namespace

void BufferLockEnter() {
  if (bufferLockReady.load()) EnterCriticalSection(&bufferLock.section);
}

void BufferLockLeave() {
  if (bufferLockReady.load()) LeaveCriticalSection(&bufferLock.section);
}

ULONGLONG CurrentFileTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// ---- sSharedBuffer ----

sSharedBuffer::sSharedBuffer(DWORD tag, DWORD size, const void* source)
    : data(nullptr), size(0), tag(tag), refCount(0) {
  if (source == nullptr || size < 1 || size > kMaxPacketSize) return;
  data = new (std::nothrow) BYTE[size];
  if (data == nullptr) return;
  std::memcpy(data, source, size);
  this->size = size;
}

sSharedBuffer::sSharedBuffer(BYTE* block, DWORD size, DWORD tag)
    : data(nullptr), size(0), tag(tag), refCount(0) {
  if (block == nullptr) return;
  if (size < 1 || size > kMaxPacketSize) {
    delete[] block;
    return;
  }
  data = block;
  this->size = size;
}

sSharedBuffer::~sSharedBuffer() { delete[] data; }

void sSharedBuffer::AddReference() {
  BufferLockEnter();
  ++refCount;
  BufferLockLeave();
}

void sSharedBuffer::Release(sSharedBuffer* buffer) {
  if (buffer == nullptr) return;
  BufferLockEnter();
  if (buffer->refCount > 0) --buffer->refCount;
  bool last = buffer->refCount == 0;
  BufferLockLeave();
  if (last) delete buffer;
}

// ---- sProtocolBuffer ----

sProtocolBuffer::sProtocolBuffer() : buffer(nullptr), timeStamp(CurrentFileTime()), valid(0) {}

sProtocolBuffer::sProtocolBuffer(sSharedBuffer* block)
    : buffer(nullptr), timeStamp(CurrentFileTime()), valid(0) {
  if (IsValidBlock(block)) {
    block->AddReference();
    buffer = block;
    valid = 1;
  }
}

sProtocolBuffer::sProtocolBuffer(const sProtocolBuffer& other)
    : buffer(nullptr), timeStamp(other.timeStamp), valid(0) {
  if (IsValidBlock(other.buffer)) {
    other.buffer->AddReference();
    buffer = other.buffer;
    valid = other.valid;
  }
}

sProtocolBuffer& sProtocolBuffer::operator=(const sProtocolBuffer& other) {
  if (other.buffer != buffer) {
    // Reference the new block before releasing the old one: the old may be the last holder of
    // something the new depends on only through this view.
    sSharedBuffer* old = buffer;
    buffer = nullptr;
    if (IsValidBlock(other.buffer)) {
      other.buffer->AddReference();
      buffer = other.buffer;
    }
    sSharedBuffer::Release(old);
  }
  timeStamp = other.timeStamp;
  valid = buffer ? other.valid : 0;
  return *this;
}

sProtocolBuffer::~sProtocolBuffer() { Detach(); }

void sProtocolBuffer::Detach() {
  sSharedBuffer* old = buffer;
  buffer = nullptr;
  valid = 0;
  sSharedBuffer::Release(old);
}

bool sProtocolBuffer::Validate() {
  valid = IsValidBlock(buffer) ? 1 : 0;
  return valid != 0;
}

// ---- sProtocolRequest ----

DWORD sProtocolRequest::ClampResponseTimeout(DWORD ms) {
  if (ms < kMinResponseTimeout) return kMinResponseTimeout;
  if (ms > kMaxResponseTimeout) return kMaxResponseTimeout;
  return ms;
}

sProtocolRequest::sProtocolRequest(DWORD responseTimeout, const cProtocolNotification* notification,
                                   sSharedBuffer* block)
    : sProtocolBuffer(block),
      delay(0),
      responseTimeout(ClampResponseTimeout(responseTimeout)),
      repeatCount(1),
      repeatInterval(100),
      notification(notification ? notification->Clone() : nullptr),
      attachedData(nullptr),
      attachedLength(0),
      noResponse(0) {}

sProtocolRequest::sProtocolRequest(const sProtocolRequest& other)
    : sProtocolBuffer(other),
      delay(other.delay),
      responseTimeout(other.responseTimeout),
      repeatCount(other.repeatCount),
      repeatInterval(other.repeatInterval),
      notification(other.notification ? other.notification->Clone() : nullptr),
      attachedData(other.attachedData),
      attachedLength(other.attachedLength),
      noResponse(other.noResponse) {}

sProtocolRequest& sProtocolRequest::operator=(const sProtocolRequest& other) {
  if (this == &other) return *this;
  sProtocolBuffer::operator=(other);
  delay = other.delay;
  responseTimeout = other.responseTimeout;
  repeatCount = other.repeatCount;
  repeatInterval = other.repeatInterval;
  cProtocolNotification* clone = other.notification ? other.notification->Clone() : nullptr;
  delete notification;
  notification = clone;
  attachedData = other.attachedData;
  attachedLength = other.attachedLength;
  noResponse = other.noResponse;
  return *this;
}

sProtocolRequest::~sProtocolRequest() {
  delete notification;
  notification = nullptr;
}

bool sProtocolRequest::Notify(DWORD event, DWORD requestId, DWORD value) const {
  return notification != nullptr && notification->Notify(event, requestId, value);
}

// ---- cProtocolQueueNotification ----

cProtocolNotification* cProtocolQueueNotification::Clone() const {
  return new (std::nothrow) cProtocolQueueNotification(queue);
}

bool cProtocolQueueNotification::Notify(DWORD event, DWORD requestId, DWORD value) {
  if (event > kEventAttachedProgress) return false;
  if (queue == nullptr || !queue->IsAlive()) return false;
  return queue->Add(sProtocolEvent{event, requestId, value}) != 0xFFFFFFFFu;
}

}  // namespace brisa
