// Packet blocks, views, requests and the bounded event history.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "protocol/protocol_buffers.h"

namespace brisa {
namespace {

DWORD References(sSharedBuffer* block) {
  BufferLockEnter();
  DWORD n = block->refCount;
  BufferLockLeave();
  return n;
}

TEST(SharedBufferTest, SizeLimitsForCopyingAndAdopting) {
  std::vector<BYTE> source(kMaxPacketSize + 1, 0x5A);
  struct Case {
    DWORD size;
    bool valid;
  } cases[] = {{0, false}, {1, true}, {kMaxPacketSize, true}, {kMaxPacketSize + 1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    sSharedBuffer copied(kTagSent, c.size, source.data());
    EXPECT_EQ(copied.IsValidBlock(), c.valid);
    EXPECT_EQ(copied.size, c.valid ? c.size : 0u);
    EXPECT_EQ(copied.data == nullptr, !c.valid);
    if (c.valid) EXPECT_EQ(copied.data[c.size - 1], 0x5A);
    // A refused adoption frees the block at once; ASan reports a leak otherwise.
    sSharedBuffer adopted(new BYTE[c.size + 1], c.size, kTagReceived);
    EXPECT_EQ(adopted.IsValidBlock(), c.valid);
    EXPECT_EQ(adopted.tag, kTagReceived);
  }
  sSharedBuffer noSource(kTagSent, 10, nullptr);
  EXPECT_FALSE(noSource.IsValidBlock());
}

TEST(ProtocolBufferTest, ViewsShareOneBlockAndTheLastDeletesIt) {
  const BYTE bytes[] = {1, 2, 3};
  auto* block = new sSharedBuffer(kTagSent, 3, bytes);
  {
    sProtocolBuffer a(block);
    EXPECT_TRUE(a.IsValid());
    EXPECT_EQ(References(block), 1u);
    {
      sProtocolBuffer b(a);
      EXPECT_EQ(b.Data(), a.Data());
      EXPECT_EQ(References(block), 2u);
      sProtocolBuffer c;
      c = b;
      EXPECT_EQ(References(block), 3u);
      c = a;  // same block: unchanged
      EXPECT_EQ(References(block), 3u);
      c = c;
      EXPECT_EQ(References(block), 3u);
    }
    EXPECT_EQ(References(block), 1u);
    EXPECT_EQ(a.Size(), 3u);
  }
  // The block is gone now; ASan would flag a leak or a double free.
}

TEST(ProtocolBufferTest, InvalidBlocksGiveEmptyViews) {
  auto* empty = new sSharedBuffer(kTagSent, 0, nullptr);
  sProtocolBuffer view(empty);
  EXPECT_FALSE(view.IsValid());
  EXPECT_EQ(view.buffer, nullptr);
  EXPECT_EQ(view.Data(), nullptr);
  EXPECT_EQ(view.Size(), 0u);
  sProtocolBuffer copy(view);
  EXPECT_FALSE(copy.IsValid());
  // The caller still owns a block no view accepted; the first release deletes it.
  sSharedBuffer::Release(empty);

  const BYTE bytes[] = {7};
  sProtocolBuffer other(new sSharedBuffer(kTagSent, 1, bytes));
  other = view;  // drops the last reference to the one-byte block
  EXPECT_FALSE(other.IsValid());
  EXPECT_EQ(other.buffer, nullptr);
}

TEST(ProtocolBufferTest, ConcurrentViewsOnOneBlock) {
  const BYTE bytes[] = {1};
  sProtocolBuffer root(new sSharedBuffer(kTagSent, 1, bytes));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&root] {
      for (int i = 0; i < 2000; ++i) {
        sProtocolBuffer copy(root);
        sProtocolBuffer another;
        another = copy;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(References(root.buffer), 1u);
}

class CountingNotification : public cProtocolNotification {
 public:
  explicit CountingNotification(int* alive) : alive(alive) { ++*alive; }
  ~CountingNotification() override { --*alive; }
  cProtocolNotification* Clone() const override { return new CountingNotification(alive); }
  bool Notify(DWORD, DWORD, DWORD) override { return true; }
  int* alive;
};

TEST(ProtocolRequestTest, TimeoutClampAndDefaults) {
  struct Case {
    DWORD given, kept;
  } cases[] = {{0, 100}, {50, 100}, {100, 100}, {4000, 4000}, {300000, 300000}, {400000, 300000}};
  for (const Case& c : cases) {
    sProtocolRequest request(c.given, nullptr, nullptr);
    EXPECT_EQ(request.responseTimeout, c.kept) << c.given;
  }
  sProtocolRequest request(1000, nullptr, nullptr);
  EXPECT_EQ(request.delay, 0u);
  EXPECT_EQ(request.repeatCount, 1);
  EXPECT_EQ(request.repeatInterval, 100u);
  EXPECT_EQ(request.notification, nullptr);
  EXPECT_EQ(request.attachedData, nullptr);
  EXPECT_EQ(request.noResponse, 0);
  EXPECT_FALSE(request.IsValid());
}

TEST(ProtocolRequestTest, EveryCopyOwnsItsOwnNotificationClone) {
  int alive = 0;
  {
    CountingNotification original(&alive);
    const BYTE bytes[] = {1, 2};
    sProtocolRequest request(1000, &original, new sSharedBuffer(kTagSent, 2, bytes));
    request.attachedLength = 5;
    EXPECT_EQ(alive, 2);
    EXPECT_NE(request.notification, &original);
    {
      sProtocolRequest copy(request);
      EXPECT_EQ(alive, 3);
      EXPECT_NE(copy.notification, request.notification);
      EXPECT_EQ(copy.attachedLength, 5u);
      sProtocolRequest assigned(200, nullptr, nullptr);
      assigned = copy;
      EXPECT_EQ(alive, 4);
      EXPECT_TRUE(assigned.IsValid());
    }
    EXPECT_EQ(alive, 2);
  }
  EXPECT_EQ(alive, 0);
}

TEST(HistoryQueueTest, BoundedWithAbsoluteIndices) {
  cEventQueue queue(12, true);
  for (DWORD i = 0; i < 13; ++i) EXPECT_EQ(queue.Add({1, i, i * 10}), i);
  EXPECT_EQ(queue.Total(), 13u);
  sProtocolEvent e{};
  EXPECT_FALSE(queue.Get(0, e));
  EXPECT_TRUE(queue.Get(1, e));
  EXPECT_EQ(e.requestId, 1u);
  EXPECT_TRUE(queue.Get(12, e));
  EXPECT_EQ(e.value, 120u);
  EXPECT_FALSE(queue.Get(13, e));
  queue.Clear();
  EXPECT_EQ(queue.Total(), 0u);
  EXPECT_FALSE(queue.Get(1, e));
  EXPECT_EQ(queue.Add({1, 1, 1}), 0u);
}

TEST(HistoryQueueTest, AdditionsSignalTheAutoResetEvent) {
  cEventQueue queue(12, true);
  ASSERT_NE(queue.Event(), nullptr);
  EXPECT_EQ(WaitForSingleObject(queue.Event(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  queue.Add({0, 1, 0});
  queue.Add({1, 1, 0});
  EXPECT_EQ(WaitForSingleObject(queue.Event(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(queue.Event(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  cEventQueue silent(4, false);
  EXPECT_EQ(silent.Event(), nullptr);
}

TEST(QueueNotificationTest, StoresOnlyKnownEventsInALiveQueue) {
  cEventQueue queue(12, true);
  cProtocolQueueNotification notification(&queue);
  EXPECT_TRUE(notification.Notify(kEventAttachedProgress, 7, 262144));
  EXPECT_FALSE(notification.Notify(5, 7, 0));
  std::unique_ptr<cProtocolNotification> clone(notification.Clone());
  EXPECT_TRUE(clone->Notify(kEventRequestSent, 7, 3));
  EXPECT_EQ(queue.Total(), 2u);
  sProtocolEvent e{};
  ASSERT_TRUE(queue.Get(1, e));
  EXPECT_EQ(e.event, kEventRequestSent);
  EXPECT_EQ(e.requestId, 7u);
  EXPECT_EQ(e.value, 3u);
  queue.Destroy();
  EXPECT_FALSE(clone->Notify(kEventRequestSent, 7, 3));
  EXPECT_EQ(queue.Add({0, 0, 0}), 0xFFFFFFFFu);
  EXPECT_EQ(queue.Total(), 0u);
}

}  // namespace
}  // namespace brisa
