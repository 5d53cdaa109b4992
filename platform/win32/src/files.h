// File objects and the hooks through which device names ("\\.\COM7") reach their drivers.
#pragma once

#include <sys/types.h>

#include <string>

#include "core.h"

namespace win32emu {

class FileObject : public KernelObject {
 public:
  ~FileObject() override;
  const char* TypeName() const override { return "File"; }
  void OnHandleClosed(HANDLE h) override;

  int fd = -1;
  DWORD access = 0;
  DWORD share = 0;
  DWORD flags = 0;
  dev_t device = 0;
  ino_t inode = 0;
  std::string hostPath;
};

// A handle on a device that reads and writes a byte stream (a serial port). ReadFile, WriteFile
// and FlushFileBuffers on such a handle come here.
class StreamDevice : public KernelObject {
 public:
  virtual BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov) = 0;
  virtual BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov) = 0;
  virtual BOOL Flush() = 0;
};

// Opens a file of the host; the error is a Win32 code. `existed` tells whether it was there.
std::shared_ptr<FileObject> OpenFile(const std::string& hostPath, DWORD access, DWORD share,
                                     DWORD disposition, DWORD flags, DWORD* error, bool* existed);

// Opens a name of the device namespace (what follows "\\.\"). Sets the last error and returns
// INVALID_HANDLE_VALUE when no such device exists.
HANDLE OpenDevice(std::wstring_view name, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags);

DWORD LastErrorFromErrno(int e);
DWORD MissingErrorFor(const std::string& hostPath);

}  // namespace win32emu
