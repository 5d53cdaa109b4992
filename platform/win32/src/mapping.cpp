// File mappings, and the ANSI code page (Windows-1252, as on an English system).
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <cstring>
#include <mutex>

#include "files.h"

namespace win32emu {
namespace {

class MappingObject : public KernelObject {
 public:
  ~MappingObject() override {
    if (fd >= 0) close(fd);
  }
  const char* TypeName() const override { return "Section"; }
  int fd = -1;  // our own reference to the file, which stays in use until the views go
  DWORD protect = 0;
  uint64_t size = 0;
};

struct Views {
  std::mutex lock;
  std::map<uintptr_t, std::pair<size_t, std::shared_ptr<MappingObject>>> byBase;
};
Views& TheViews() {
  static auto* v = new Views;
  return *v;
}

constexpr uint64_t kGranularity = 65536;

// Windows-1252's 0x80-0x9F; the undefined five map to the C1 controls, as Windows does.
const wchar_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace
}  // namespace win32emu

using namespace win32emu;

extern "C" {

HANDLE WINAPI CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect,
                                 DWORD maxSizeHigh, DWORD maxSizeLow, LPCWSTR name) {
  W32EMU_FAULT_POINT("CreateFileMappingW", nullptr);
  auto f = LookupHandleAs<FileObject>(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  DWORD page = protect & 0xFF;
  if (page != PAGE_READONLY && page != PAGE_READWRITE && page != PAGE_WRITECOPY) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool canRead = f->access & (GENERIC_READ | GENERIC_ALL);
  bool canWrite = f->access & (GENERIC_WRITE | GENERIC_ALL);
  if (!canRead || (page == PAGE_READWRITE && !canWrite)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  struct stat st;
  fstat(f->fd, &st);
  uint64_t fileSize = static_cast<uint64_t>(st.st_size);
  uint64_t size = (static_cast<uint64_t>(maxSizeHigh) << 32) | maxSizeLow;
  if (size == 0) {
    if (fileSize == 0) {
      SetLastError(ERROR_FILE_INVALID);
      return nullptr;
    }
    size = fileSize;
  } else if (size > fileSize) {
    if (page != PAGE_READWRITE) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    if (ftruncate(f->fd, static_cast<off_t>(size)) != 0) {
      SetLastError(ERROR_DISK_FULL);
      return nullptr;
    }
  }
  auto m = std::make_shared<MappingObject>();
  m->fd = dup(f->fd);
  m->protect = page;
  m->size = size;
  if (m->fd < 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  SetLastError(0);
  return InsertHandle(std::move(m));
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytes) {
  W32EMU_FAULT_POINT("MapViewOfFile", nullptr);
  auto m = LookupHandleAs<MappingObject>(mapping);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
  if (offset % kGranularity) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  bool write = access & FILE_MAP_WRITE;
  if (write && m->protect != PAGE_READWRITE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (offset > m->size || (bytes && bytes > m->size - offset)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  size_t length = bytes ? bytes : static_cast<size_t>(m->size - offset);
  int prot = PROT_READ | (write ? PROT_WRITE : 0);
  int flags = (access & FILE_MAP_COPY) ? MAP_PRIVATE : MAP_SHARED;
  void* base = mmap(nullptr, length ? length : 1, prot, flags, m->fd, static_cast<off_t>(offset));
  if (base == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> g(TheViews().lock);
  TheViews().byBase[reinterpret_cast<uintptr_t>(base)] = {length ? length : 1, m};
  return base;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID base) {
  W32EMU_FAULT_POINT("UnmapViewOfFile", FALSE);
  std::pair<size_t, std::shared_ptr<MappingObject>> view;
  {
    std::lock_guard<std::mutex> g(TheViews().lock);
    auto it = TheViews().byBase.find(reinterpret_cast<uintptr_t>(base));
    if (it == TheViews().byBase.end()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    view = std::move(it->second);
    TheViews().byBase.erase(it);
  }
  munmap(const_cast<void*>(base), view.first);
  return TRUE;
}

UINT WINAPI GetACP(void) { return 1252; }

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceBytes,
                               LPWSTR target, int targetChars) {
  W32EMU_FAULT_POINT("MultiByteToWideChar", 0);
  if (!source || sourceBytes == 0 || sourceBytes < -1 || targetChars < 0 ||
      (targetChars > 0 && !target)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = sourceBytes == -1 ? strlen(source) + 1 : static_cast<size_t>(sourceBytes);
  std::wstring out;
  out.reserve(n);
  if (codePage == CP_UTF8) {
    std::wstring decoded = Widen(std::string_view(source, n));
    if ((flags & MB_ERR_INVALID_CHARS) && decoded.find(L'\xFFFD') != std::wstring::npos &&
        std::string_view(source, n).find("\xEF\xBF\xBD") == std::string_view::npos) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
    out = std::move(decoded);
  } else if (codePage == CP_ACP || codePage == CP_THREAD_ACP || codePage == CP_OEMCP ||
             codePage == 1252) {
    for (size_t i = 0; i < n; ++i) {
      unsigned char c = static_cast<unsigned char>(source[i]);
      out += (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : static_cast<wchar_t>(c);
    }
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (targetChars == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(targetChars)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  out.copy(target, out.size());
  return static_cast<int>(out.size());
}

}  // extern "C"
