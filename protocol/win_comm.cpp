#include "protocol/win_comm.h"

namespace brisa {

namespace {
const wchar_t kDevicePrefix[] = L"\\\\.\\";
}

cWinComm::cWinComm()
    : handle(INVALID_HANDLE_VALUE),
      rxCallback(nullptr),
      txCallback(nullptr),
      readOverlapped(),
      writeOverlapped(),
      ioThread(0) {}

cWinComm::~cWinComm() { Close(); }

bool cWinComm::IsReady() const { return rxCallback != nullptr && txCallback != nullptr; }

bool cWinComm::Open(const wchar_t* name, bool exclusive) {
  if (!IsReady() || name == nullptr || *name == L'\0') return false;
  if (handle != INVALID_HANDLE_VALUE) Close();
  std::wstring path(name);
  if (path.find(L'.') == std::wstring::npos) path = kDevicePrefix + path;
  HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              exclusive ? 0 : (FILE_SHARE_READ | FILE_SHARE_WRITE), nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return false;
  handle = opened;
  readOverlapped = OVERLAPPED();
  writeOverlapped = OVERLAPPED();
  std::wstring::size_type at;
  while ((at = path.find(kDevicePrefix)) != std::wstring::npos) path.erase(at, 4);
  portName = path;
  return true;
}

bool cWinComm::Close() {
  // A completion routine left queued would reach this object's OVERLAPPED records after they
  // are reused or gone. Only the issuing thread can run it; on any other thread the issuer has
  // ended, and its I/O and queued routines ended with it.
  if (GetCurrentThreadId() == ioThread) CancelPending();
  bool result = true;
  if (handle != INVALID_HANDLE_VALUE) result = CloseHandle(handle) != FALSE;
  handle = INVALID_HANDLE_VALUE;
  readOverlapped.hEvent = nullptr;
  writeOverlapped.hEvent = nullptr;
  portName.clear();
  return result;
}

bool cWinComm::Read(void* buffer, DWORD length) {
  if (!IsReady() || ReadPending()) return false;
  readOverlapped = OVERLAPPED();
  readOverlapped.hEvent = static_cast<HANDLE>(this);
  ioThread = GetCurrentThreadId();
  if (!ReadFileEx(handle, buffer, length, &readOverlapped, ReadCompleted)) {
    DWORD error = GetLastError();
    readOverlapped.hEvent = nullptr;
    SetLastError(error);
    return false;
  }
  return true;
}

bool cWinComm::Write(const void* buffer, DWORD length) {
  if (!IsReady() || WritePending()) return false;
  writeOverlapped = OVERLAPPED();
  writeOverlapped.hEvent = static_cast<HANDLE>(this);
  ioThread = GetCurrentThreadId();
  if (!WriteFileEx(handle, buffer, length, &writeOverlapped, WriteCompleted)) {
    DWORD error = GetLastError();
    writeOverlapped.hEvent = nullptr;
    SetLastError(error);
    return false;
  }
  return true;
}

std::wstring cWinComm::GetName() const { return portName; }

void cWinComm::CancelPending(DWORD ms) {
  if (handle == INVALID_HANDLE_VALUE) return;
  if (!ReadPending() && !WritePending()) return;
  CancelIo(handle);
  // Cancelled operations still complete, as completion routines queued to this thread; let them
  // run now, while the OVERLAPPED records and the buffers are known to be alive.
  ULONGLONG deadline = GetTickCount64() + ms;
  while (ReadPending() || WritePending()) {
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    SleepEx(static_cast<DWORD>(deadline - now), TRUE);
  }
}

void WINAPI cWinComm::ReadCompleted(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
  if (overlapped == nullptr || overlapped->hEvent == nullptr) return;
  cWinComm* self = static_cast<cWinComm*>(overlapped->hEvent);
  if (!self->IsReady()) return;
  self->readOverlapped.hEvent = nullptr;
  self->rxCallback->Completion(error, bytes);
}

void WINAPI cWinComm::WriteCompleted(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
  if (overlapped == nullptr || overlapped->hEvent == nullptr) return;
  cWinComm* self = static_cast<cWinComm*>(overlapped->hEvent);
  if (!self->IsReady()) return;
  self->writeOverlapped.hEvent = nullptr;
  self->txCallback->Completion(error, bytes);
}

}  // namespace brisa
