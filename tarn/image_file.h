// A firmware image mapped read-only, whole, for as long as the object lives.
#pragma once

#include <windows.h>

namespace brisa {

class cMemoryMappedFile {
 public:
  static constexpr DWORD kMaxSize = 0x4000000;  // 64 MiB, the longest chunk a header announces

  explicit cMemoryMappedFile(const wchar_t* path);
  virtual ~cMemoryMappedFile();
  cMemoryMappedFile(const cMemoryMappedFile&) = delete;
  cMemoryMappedFile& operator=(const cMemoryMappedFile&) = delete;

  const BYTE* Data() const { return error == 0 ? view : nullptr; }
  DWORD Size() const { return error == 0 ? size : 0; }
  // 0 when mapped; 2 without a path; 31 for an unreadable size or one above 64 MiB; otherwise
  // the system error code of the step that failed.
  DWORD Error() const { return error; }

 private:
  BYTE borrowed;
  HANDLE file;
  HANDLE mapping;
  const BYTE* view;
  DWORD size;
  DWORD error;
};

}  // namespace brisa
