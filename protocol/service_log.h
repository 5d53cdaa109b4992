// The service's text log: UTF-16LE with a byte-order mark, one line per event, each line
// prefixed with the UTC time and the writing thread's id and flushed before the next.
#pragma once

#include <windows.h>

#include <string>

namespace brisa {

class cServiceLog {
 public:
  cServiceLog();
  ~cServiceLog();
  cServiceLog(const cServiceLog&) = delete;
  cServiceLog& operator=(const cServiceLog&) = delete;

  // Creates (or truncates) the file, other writers denied, and writes the byte-order mark.
  // A failure leaves the log closed: every later write is then a no-op.
  bool OpenLog(const wchar_t* path);
  // Writes one line; an empty text or a closed log writes nothing.
  void WriteLine(const wchar_t* text);
  void WriteLine(const std::wstring& text) { WriteLine(text.c_str()); }
  // printf-style convenience: formats (wide; %ls for wide strings) then writes one line.
  void WriteFormat(const wchar_t* format, ...);
  void CloseLog();
  bool IsOpen();

 private:
  HANDLE file;
  CRITICAL_SECTION lock;
  BYTE open;
};

}  // namespace brisa
