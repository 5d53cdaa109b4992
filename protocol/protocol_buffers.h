// Packet blocks shared between threads without copying, the views that reference them, the
// request record handed to a protocol server, and the bounded history that carries a request's
// events back to the thread that scheduled it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <utility>

namespace brisa {

constexpr DWORD kMaxPacketSize = 16640;

// Origin of a block.
constexpr DWORD kTagCommand = 0;   // a worker command record
constexpr DWORD kTagReceived = 8;  // received from the module
constexpr DWORD kTagSent = 9;      // built by this side to be sent

// Event codes reported to a request's notification.
constexpr DWORD kEventRequestError = 0;
constexpr DWORD kEventRequestSent = 1;
constexpr DWORD kEventResponseError = 2;
constexpr DWORD kEventResponseReceived = 3;
constexpr DWORD kEventAttachedProgress = 4;

// The one lock behind every block's reference count. It exists from program start-up to
// shut-down; reference changes outside that span (static construction and destruction of other
// objects) run unlocked, which is safe because no second thread exists then.
void BufferLockEnter();
void BufferLockLeave();

// A reference-counted packet block. Always allocate with new: the last release deletes it.
struct sSharedBuffer {
  BYTE* data;
  DWORD size;
  DWORD tag;
  DWORD refCount;  // guarded by the buffer lock

  // Copies `size` bytes from `source`; stays empty unless 1 <= size <= kMaxPacketSize and the
  // source exists, or when memory is short.
  sSharedBuffer(DWORD tag, DWORD size, const void* source);
  // Takes ownership of `block`, which must come from new BYTE[]; a size out of range frees it at
  // once and leaves this empty.
  sSharedBuffer(BYTE* block, DWORD size, DWORD tag);
  virtual ~sSharedBuffer();

  sSharedBuffer(const sSharedBuffer&) = delete;
  sSharedBuffer& operator=(const sSharedBuffer&) = delete;

  // A usable block: data present and 1 <= size <= kMaxPacketSize.
  bool IsValidBlock() const { return data != nullptr && size >= 1 && size <= kMaxPacketSize; }

  void AddReference();
  // Drops one reference (none is dropped below 0) and deletes the block when none remain, so a
  // block that never got a reference is deleted by its first release.
  static void Release(sSharedBuffer* buffer);
};

inline bool IsValidBlock(const sSharedBuffer* buffer) {
  return buffer != nullptr && buffer->IsValidBlock();
}

// Current system time as a 64-bit file time (UTC, 100 ns units).
ULONGLONG CurrentFileTime();

// A view on a packet block; the base of every packet record.
struct sProtocolBuffer {
  sSharedBuffer* buffer;  // referenced, or null
  ULONGLONG timeStamp;    // file time of the view's creation
  BYTE valid;

  sProtocolBuffer();
  // References `block` when it is a valid block; otherwise the view is empty and invalid (and
  // the caller still owns `block`).
  explicit sProtocolBuffer(sSharedBuffer* block);
  sProtocolBuffer(const sProtocolBuffer& other);
  sProtocolBuffer& operator=(const sProtocolBuffer& other);
  virtual ~sProtocolBuffer();

  virtual bool IsValid() const { return valid != 0; }
  // Base check: the view references a valid block. Packet records add their format checks.
  virtual bool Validate();

  const BYTE* Data() const { return IsValid() ? buffer->data : nullptr; }
  DWORD Size() const { return IsValid() ? buffer->size : 0; }
  // The block's tag; 0xFFFFFFFF without a block.
  DWORD Tag() const { return buffer ? buffer->tag : 0xFFFFFFFFu; }

 protected:
  void Detach();
};

// Receives what happened to a request.
class cProtocolNotification {
 public:
  // A new notification reporting to the same place, or null when memory is short.
  virtual cProtocolNotification* Clone() const = 0;
  // Returns whether the event was stored.
  virtual bool Notify(DWORD event, DWORD requestId, DWORD value) = 0;
  virtual ~cProtocolNotification() = default;
};

// One packet view plus the parameters of its transmission.
struct sProtocolRequest : sProtocolBuffer {
  DWORD delay;                          // ms from scheduling to the first transmission
  DWORD responseTimeout;                // ms after the last byte written; 100..300000
  LONG repeatCount;                     // transmissions; -1 repeats without end
  DWORD repeatInterval;                 // ms between transmissions
  cProtocolNotification* notification;  // owned clone
  const BYTE* attachedData;             // raw bytes written after the packet; not owned
  DWORD attachedLength;
  BYTE noResponse;  // 1: complete when the last byte is written

  static constexpr DWORD kMinResponseTimeout = 100;
  static constexpr DWORD kMaxResponseTimeout = 300000;
  static DWORD ClampResponseTimeout(DWORD ms);

  // `notification` (may be null) is cloned; the caller keeps its own.
  sProtocolRequest(DWORD responseTimeout, const cProtocolNotification* notification,
                   sSharedBuffer* block);
  sProtocolRequest(const sProtocolRequest& other);
  sProtocolRequest& operator=(const sProtocolRequest& other);
  ~sProtocolRequest() override;

  // Reports an event to the request's notification, if it has one.
  bool Notify(DWORD event, DWORD requestId, DWORD value) const;
};

// Bounded, lock-protected history of items with absolute indices: item n stays readable until
// `capacity` newer items have been added. A queue that has been destroyed (signature 0) refuses
// every operation.
template <typename Item>
class cHistoryQueue {
 public:
  static constexpr DWORD kSignature = 0x1799A2BC;

  // `signalOnAdd`: an auto-reset event is created and set after every addition.
  cHistoryQueue(DWORD capacity, bool signalOnAdd)
      : event(signalOnAdd ? CreateEventW(nullptr, FALSE, FALSE, nullptr) : nullptr),
        signalOnAdd(signalOnAdd ? 1 : 0),
        capacity(capacity),
        total(0) {
    InitializeCriticalSectionAndSpinCount(&lock, 5000);
    signature.store(kSignature);
  }
  ~cHistoryQueue() { Destroy(); }
  cHistoryQueue(const cHistoryQueue&) = delete;
  cHistoryQueue& operator=(const cHistoryQueue&) = delete;

  bool IsAlive() const { return signature.load() == kSignature; }

  // Appends `item`, dropping the oldest when full; returns its absolute index, or 0xFFFFFFFF
  // when the queue is not alive.
  DWORD Add(const Item& item) {
    if (!IsAlive()) return 0xFFFFFFFFu;
    EnterCriticalSection(&lock);
    if (capacity == 0) {
      // Nothing can be held; the item still counts so that indices stay absolute.
    } else {
      while (items.size() >= capacity) items.pop_front();
      items.push_back(item);
    }
    DWORD index = total++;
    if (signalOnAdd && event) SetEvent(event);
    LeaveCriticalSection(&lock);
    return index;
  }

  // Copies the item with absolute index `index`; false when it was dropped or never added.
  bool Get(DWORD index, Item& out) {
    if (!IsAlive()) return false;
    EnterCriticalSection(&lock);
    DWORD held = static_cast<DWORD>(items.size());
    bool found = index < total && index >= total - held;
    if (found) out = items[index - (total - held)];
    LeaveCriticalSection(&lock);
    return found;
  }

  DWORD Total() {
    if (!IsAlive()) return 0;
    EnterCriticalSection(&lock);
    DWORD result = total;
    LeaveCriticalSection(&lock);
    return result;
  }

  void Clear() {
    if (!IsAlive()) return;
    std::deque<Item> dropped;  // items die outside the lock
    EnterCriticalSection(&lock);
    dropped.swap(items);
    total = 0;
    LeaveCriticalSection(&lock);
  }

  // The event set after additions (null without `signalOnAdd`).
  HANDLE Event() const { return IsAlive() ? event : nullptr; }

  void Destroy() {
    DWORD expected = kSignature;
    if (!signature.compare_exchange_strong(expected, 0)) return;
    EnterCriticalSection(&lock);
    std::deque<Item> dropped;
    dropped.swap(items);
    total = 0;
    LeaveCriticalSection(&lock);
    if (event) CloseHandle(event);
    event = nullptr;
    DeleteCriticalSection(&lock);
  }

 private:
  std::atomic<DWORD> signature{0};
  CRITICAL_SECTION lock;
  HANDLE event;
  BYTE signalOnAdd;
  DWORD capacity;
  DWORD total;
  std::deque<Item> items;
};

// One event of a request, as the event queue holds it.
struct sProtocolEvent {
  DWORD event;
  DWORD requestId;
  DWORD value;
};

using cEventQueue = cHistoryQueue<sProtocolEvent>;

// Stores a request's events in a client's event queue (not owned).
class cProtocolQueueNotification : public cProtocolNotification {
 public:
  explicit cProtocolQueueNotification(cEventQueue* queue) : queue(queue) {}
  cProtocolNotification* Clone() const override;
  // Ignores event codes outside 0..4 and a queue that is not alive.
  bool Notify(DWORD event, DWORD requestId, DWORD value) override;
  ~cProtocolQueueNotification() override { queue = nullptr; }

 private:
  cEventQueue* queue;
};

}  // namespace brisa
