#include "tarn/image_file.h"

namespace brisa {

cMemoryMappedFile::cMemoryMappedFile(const wchar_t* path)
    : borrowed(0), file(INVALID_HANDLE_VALUE), mapping(nullptr), view(nullptr), size(0), error(0) {
  if (!path || !*path) {
    error = ERROR_FILE_NOT_FOUND;
    return;
  }
  file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return;
  }
  DWORD high = 0;
  DWORD low = GetFileSize(file, &high);
  if ((low == INVALID_FILE_SIZE && GetLastError() != 0) || high != 0 || low > kMaxSize) {
    error = ERROR_GEN_FAILURE;
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    return;
  }
  mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!mapping) {
    error = GetLastError();
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    return;
  }
  view = static_cast<const BYTE*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, low));
  if (!view) {
    error = GetLastError();
    CloseHandle(mapping);
    mapping = nullptr;
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    return;
  }
  size = low;
}

cMemoryMappedFile::~cMemoryMappedFile() {
  if (borrowed) return;
  if (view) UnmapViewOfFile(view);
  if (mapping) CloseHandle(mapping);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

}  // namespace brisa
