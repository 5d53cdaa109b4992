#include "service/brisa_service.h"

namespace brisa {

const GUID kComPortInterfaceClass = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

namespace {
// The modules' download-mode IDs: test IDs of the USB test range, not a product's.
const wchar_t* const kBuiltInDeviceIds[] = {L"vid_1209&pid_0001", L"vid_1209&pid_0002"};
}  // namespace

cBrisa::cBrisa() : stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  notifyClasses.push_back(kComPortInterfaceClass);
  for (const wchar_t* id : kBuiltInDeviceIds) deviceIds.insert(id);
}

cBrisa::~cBrisa() {
  if (stopEvent) CloseHandle(stopEvent);
}

bool cBrisa::IsValid() { return cWinService::IsValid() && stopEvent != nullptr; }

bool cBrisa::Run(DWORD, LPWSTR*) {
  log.WriteFormat(L"Run( \"%ls\", %u ) ", L"", static_cast<unsigned>(deviceIds.size()));
  if (SetPriorityClass(GetCurrentProcess(), ABOVE_NORMAL_PRIORITY_CLASS)) {
    log.WriteLine(L"SetPriorityClass() = 1");
  } else {
    log.WriteFormat(L"SetPriorityClass( 0x%08X, %u ) = %u",
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(GetCurrentProcess())),
                    static_cast<unsigned>(ABOVE_NORMAL_PRIORITY_CLASS),
                    static_cast<unsigned>(GetLastError()));
  }
  if (!IsValid()) return false;
  ReportStatus(SERVICE_RUNNING);
  for (;;) {
    DWORD wait = WaitForSingleObject(stopEvent, 1000);
    if (wait == WAIT_OBJECT_0) return true;
    if (wait == WAIT_ABANDONED_0) return false;
  }
}

bool cBrisa::Stop() {
  log.WriteLine(L"Stop() ");
  if (!IsValid()) return false;
  // Reported before the loop is released, so that Main's SERVICE_STOPPED always comes after.
  ReportStatus(SERVICE_STOP_PENDING);
  SetEvent(stopEvent);
  return true;
}

DWORD cBrisa::UserControl(DWORD code) {
  log.WriteFormat(L"UserControl( %u )", static_cast<unsigned>(code));
  return ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace brisa
