#include "protocol/service_log.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "protocol/utf16.h"

namespace brisa {

cServiceLog::cServiceLog() : file(INVALID_HANDLE_VALUE), open(0) {
  InitializeCriticalSectionAndSpinCount(&lock, 5000);
}

cServiceLog::~cServiceLog() {
  CloseLog();
  DeleteCriticalSection(&lock);
}

bool cServiceLog::OpenLog(const wchar_t* path) {
  EnterCriticalSection(&lock);
  if (open) {
    FlushFileBuffers(file);
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    open = 0;
  }
  file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    open = 1;
    static const BYTE bom[2] = {0xFF, 0xFE};
    DWORD written = 0;
    WriteFile(file, bom, sizeof bom, &written, nullptr);
  }
  bool result = open != 0;
  LeaveCriticalSection(&lock);
  return result;
}

void cServiceLog::WriteLine(const wchar_t* text) {
  if (!text || !*text) return;
  EnterCriticalSection(&lock);
  if (open) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t prefix[64];
    swprintf(prefix, 64, L"%02d/%02d/%02d %02d:%02d:%02d.%03d [%05d] ", now.wMonth, now.wDay,
             now.wYear, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
             static_cast<int>(GetCurrentThreadId()));
    std::string bytes;
    AppendUtf16Le(prefix, bytes);
    AppendUtf16Le(text, bytes);
    AppendUtf16Le(L"\r\n", bytes);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    FlushFileBuffers(file);
  }
  LeaveCriticalSection(&lock);
}

void cServiceLog::WriteFormat(const wchar_t* format, ...) {
  std::vector<wchar_t> buffer(512);
  for (;;) {
    va_list args;
    va_start(args, format);
    int n = vswprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < buffer.size()) break;
    if (buffer.size() >= (1u << 20)) {
      buffer.back() = L'\0';  // keep what fitted rather than lose the line
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  WriteLine(buffer.data());
}

void cServiceLog::CloseLog() {
  EnterCriticalSection(&lock);
  if (open) {
    FlushFileBuffers(file);
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    open = 0;
  }
  LeaveCriticalSection(&lock);
}

bool cServiceLog::IsOpen() {
  EnterCriticalSection(&lock);
  bool result = open != 0;
  LeaveCriticalSection(&lock);
  return result;
}

}  // namespace brisa
