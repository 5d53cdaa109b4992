// Pool: every allocation is recorded with its tag, its caller and the driver whose code made it,
// so that leaks at unload name the line that allocated them.
#include <cstdlib>
#include <map>
#include <unordered_map>

#include "internal.h"

namespace wdmemu {
namespace {

struct Allocation {
  SIZE_T bytes;
  ULONG tag;
  POOL_TYPE type;
  PDRIVER_OBJECT driver;
  std::source_location where;
};

struct Pool {
  std::mutex lock;
  std::unordered_map<void*, Allocation> live;
  int failSkip = 0;
  int failCount = 0;
};

Pool& P() {
  static Pool* pool = new Pool;
  return *pool;
}

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = (char)((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool zero,
               const std::source_location& loc) {
  bool paged = (type & 1) != 0;
  CheckIrql(paged ? APC_LEVEL : DISPATCH_LEVEL, paged ? "paged pool allocation" : "pool allocation",
            loc);
  {
    std::lock_guard<std::mutex> guard(P().lock);
    if (P().failCount != 0) {
      if (P().failSkip > 0) {
        --P().failSkip;
      } else {
        if (P().failCount > 0) --P().failCount;
        return nullptr;
      }
    }
  }
  void* p = malloc(bytes ? bytes : 1);
  if (!p) return nullptr;
  // Uninitialised pool holds whatever was there before; make that visible.
  memset(p, zero ? 0 : 0xC5, bytes);
  std::lock_guard<std::mutex> guard(P().lock);
  P().live[p] = Allocation{bytes, tag, type, Self().driver, loc};
  return p;
}

void Free(void* p, bool checkTag, ULONG tag, const std::source_location& loc) {
  if (!p) {
    Verify(Check::PoolBadFree, "ExFreePool(NULL)", loc);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(P().lock);
    auto it = P().live.find(p);
    if (it == P().live.end()) {
      Verify(Check::PoolBadFree, "freeing memory that is not allocated pool (or freed twice)", loc);
      return;
    }
    if (checkTag && it->second.tag != tag) {
      Verify(Check::PoolBadFree,
             "ExFreePoolWithTag with tag '" + TagText(tag) + "' for memory tagged '" +
                 TagText(it->second.tag) + "'",
             loc);
    }
    memset(p, 0xDF, it->second.bytes);
    P().live.erase(it);
  }
  free(p);
}

}  // namespace

size_t ReportPoolLeaks(PDRIVER_OBJECT driver, const char* when) {
  std::vector<std::pair<void*, Allocation>> leaks;
  {
    std::lock_guard<std::mutex> guard(P().lock);
    for (auto& [p, a] : P().live) {
      if (!driver || a.driver == driver) leaks.emplace_back(p, a);
    }
  }
  for (auto& [p, a] : leaks) {
    Verify(Check::PoolLeak,
           std::to_string(a.bytes) + " bytes of pool tagged '" + TagText(a.tag) +
               "' still allocated " + when,
           a.where);
  }
  return leaks.size();
}

void ClearPool() {
  std::lock_guard<std::mutex> guard(P().lock);
  for (auto& [p, a] : P().live) free(p);
  P().live.clear();
  P().failSkip = P().failCount = 0;
}

size_t PoolAllocationCount() {
  std::lock_guard<std::mutex> guard(P().lock);
  return P().live.size();
}

void InjectPoolFailure(int skip, int count) {
  std::lock_guard<std::mutex> guard(P().lock);
  P().failSkip = skip;
  P().failCount = count;
}

}  // namespace wdmemu

using namespace wdmemu;

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag, std::source_location loc) {
  return Allocate(type, bytes, tag, false, loc);
}

PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes, std::source_location loc) {
  return Allocate(type, bytes, 0x656E6F4E /* 'None' */, false, loc);
}

PVOID ExAllocatePoolZero(POOL_TYPE type, SIZE_T bytes, ULONG tag, std::source_location loc) {
  return Allocate(type, bytes, tag, true, loc);
}

VOID ExFreePoolWithTag(PVOID p, ULONG tag, std::source_location loc) { Free(p, true, tag, loc); }

VOID ExFreePool(PVOID p, std::source_location loc) { Free(p, false, 0, loc); }
