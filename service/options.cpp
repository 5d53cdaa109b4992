#include "service/options.h"

#include <cwchar>
#include <vector>

#include "protocol/service_log.h"
#include "service/win_service.h"

namespace brisa {

cDB2TextFile::cDB2TextFile(const wchar_t* path) : position(0), error(ERROR_FILE_NOT_FOUND) {
  fileName[0] = L'\0';
  if (!path || !*path) return;
  wcsncpy(fileName, path, 519);
  fileName[519] = L'\0';
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return;
  }
  DWORD high = 0;
  DWORD size = GetFileSize(file, &high);
  if ((size == INVALID_FILE_SIZE && GetLastError() != 0) || high != 0 || size > kMaxSize) {
    error = ERROR_GEN_FAILURE;
    CloseHandle(file);
    return;
  }
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  const BYTE* bytes =
      mapping ? static_cast<const BYTE*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size))
              : nullptr;
  if (!bytes) {
    error = GetLastError();
    if (mapping) CloseHandle(mapping);
    CloseHandle(file);
    return;
  }
  error = 0;
  bool little = size >= 2 && size % 2 == 0 && bytes[0] == 0xFF && bytes[1] == 0xFE;
  bool big = size >= 2 && size % 2 == 0 && bytes[0] == 0xFE && bytes[1] == 0xFF;
  if (little || big) {
    DWORD count = (size - 2) / 2;
    text.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
      const BYTE* p = bytes + 2 + 2 * i;
      text += static_cast<wchar_t>(little ? (p[0] | (p[1] << 8)) : ((p[0] << 8) | p[1]));
    }
  } else if (size > 0) {
    int n = MultiByteToWideChar(CP_THREAD_ACP, 0, reinterpret_cast<const char*>(bytes),
                                static_cast<int>(size), nullptr, 0);
    if (n > 0) {
      text.resize(static_cast<size_t>(n));
      MultiByteToWideChar(CP_THREAD_ACP, 0, reinterpret_cast<const char*>(bytes),
                          static_cast<int>(size), text.data(), n);
    } else {
      error = GetLastError() ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
      text.clear();
    }
  }
  UnmapViewOfFile(bytes);
  CloseHandle(mapping);
  CloseHandle(file);
}

bool cDB2TextFile::ReadLine(std::wstring& out) {
  if (!IsValid() || position >= text.size()) return false;
  size_t end = text.find(L'\n', position);
  if (end == std::wstring::npos) end = text.size();
  out = text.substr(position, end - position);
  if (!out.empty() && out.back() == L'\r') out.pop_back();
  position = static_cast<DWORD>(end + 1);
  return true;
}

std::wstring OptionsFilePath() { return DataFolder() + L"Brisa\\Options2kOristo.txt"; }
std::wstring ImageFolder() { return ProgramFolder() + L"Images\\Oristo\\"; }

namespace {
// The error code when `path` is not there, 0 when it is.
DWORD Missing(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return 0;
  DWORD code = GetLastError();
  return code ? code : ERROR_FILE_NOT_FOUND;
}
}  // namespace

DWORD LocateImages(sDownloadJob& job, DWORD number) {
  if (number == 0xFFFFFFFFu) return 0;
  std::wstring images = ImageFolder();
  std::wstring set = images + std::to_wstring(number) + L"\\";
  std::wstring nvpk = set + L"NVPK.mbn";
  if (DWORD code = Missing(nvpk)) {
    if (job.log)
      job.log->WriteFormat(L"Tarn unable to find NVPK file: %ls (%u)", nvpk.c_str(), code);
    return code;
  }
  // AMSS and Apps may come from the shared UMTS folder when the set lacks its own.
  auto find = [&](const wchar_t* file, const wchar_t* what, std::wstring& found) -> DWORD {
    found = set + file;
    if (!Missing(found)) return 0;
    found = images + L"UMTS\\" + file;
    DWORD code = Missing(found);
    if (code && job.log)
      job.log->WriteFormat(L"Tarn unable to find %ls file: %ls (%u)", what, found.c_str(), code);
    return code;
  };
  std::wstring amss, apps;
  if (DWORD code = find(L"AMSS.mbn", L"AMSS", amss)) return code;
  if (DWORD code = find(L"Apps.mbn", L"apps", apps)) return code;
  job.nvpkPath = nvpk;
  job.amssPath = amss;
  job.appsPath = apps;
  return 0;
}

}  // namespace brisa
