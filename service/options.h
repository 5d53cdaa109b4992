// The options file with the default image paths, and the numbered firmware sets.
#pragma once

#include <windows.h>

#include <string>

#include "service/download_job.h"

namespace brisa {

// A whole text file read at construction: UTF-16 with a byte-order mark (either order), or
// the thread's ANSI code page.
class cDB2TextFile {
 public:
  static constexpr DWORD kMaxSize = 0x800000;  // 8 MiB

  explicit cDB2TextFile(const wchar_t* path);
  virtual ~cDB2TextFile() = default;
  virtual bool IsValid() const { return error == 0; }
  // The next line without its "\n" and one trailing "\r"; false at the end or when not loaded.
  bool ReadLine(std::wstring& out);
  DWORD Error() const { return error; }

 private:
  std::wstring text;
  DWORD position;
  DWORD error;
  wchar_t fileName[520];
};

// data folder + "Brisa\" + "Options2kOristo.txt"
std::wstring OptionsFilePath();
// program folder + "Images\Oristo\"
std::wstring ImageFolder();

// Finds firmware set `number` in the image folder (with the UMTS fallbacks for AMSS and Apps)
// and, when all three images are there, puts their paths in the job. 0xFFFFFFFF: no set, the
// paths stay. Returns 0 or the system error code of the image that is missing.
DWORD LocateImages(sDownloadJob& job, DWORD number);

}  // namespace brisa
