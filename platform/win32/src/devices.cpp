// The device namespace. Serial ports are added by the serial-port emulation.
#include "files.h"

namespace win32emu {

HANDLE OpenDevice(std::wstring_view, DWORD, DWORD, DWORD, DWORD) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

}  // namespace win32emu
