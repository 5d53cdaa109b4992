// The registry, kept in the world (<root>/registry/<hive>/<key>/.../<value>.v) so that every
// process of the world sees the same keys. Key and value names are case-insensitive.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core.h"

namespace win32emu {
namespace {

namespace fs = std::filesystem;

class RegistryKey : public KernelObject {
 public:
  const char* TypeName() const override { return "Key"; }
  std::string dir;  // host directory of the key
  REGSAM access = 0;
};

// A name component on disk: lower case, with anything but letters and digits escaped.
std::string Escape(std::wstring_view name) {
  std::string out;
  for (wchar_t wc : name) {
    wchar_t c = towlower(wc);
    if ((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'_' || c == L'-') {
      out += static_cast<char>(c);
    } else {
      char buf[16];
      snprintf(buf, sizeof buf, "%%%04x", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out;
}

bool RootDir(HKEY key, std::string* dir, REGSAM* access) {
  const char* hive = nullptr;
  if (key == HKEY_LOCAL_MACHINE) hive = "hklm";
  if (key == HKEY_CURRENT_USER) hive = "hkcu";
  if (key == HKEY_CLASSES_ROOT) hive = "hkcr";
  if (key == HKEY_USERS) hive = "hku";
  if (hive) {
    *dir = WorldRoot() + "/registry/" + hive;
    *access = KEY_ALL_ACCESS;
    return true;
  }
  auto k = LookupHandleAs<RegistryKey>(key);
  if (!k) return false;
  *dir = k->dir;
  *access = k->access;
  return true;
}

std::string SubDir(const std::string& base, const wchar_t* subKey) {
  std::string dir = base;
  if (!subKey) return dir;
  std::wstring_view rest(subKey);
  while (!rest.empty()) {
    size_t slash = rest.find(L'\\');
    std::wstring_view part = rest.substr(0, slash);
    if (!part.empty()) dir += "/" + Escape(part);
    if (slash == std::wstring_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return dir;
}

std::string ValueFile(const std::string& dir, const wchar_t* name) {
  return dir + "/" + (name && *name ? Escape(name) : std::string("@")) + ".v";
}

bool IsKey(const std::string& dir) {
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

LONG OpenKey(HKEY key, LPCWSTR subKey, REGSAM access, PHKEY result, bool create,
             LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::string base;
  REGSAM parentAccess;
  if (!RootDir(key, &base, &parentAccess)) return ERROR_INVALID_HANDLE;
  std::string dir = SubDir(base, subKey);
  bool existed = IsKey(dir);
  if (!existed) {
    if (!create) return ERROR_FILE_NOT_FOUND;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return ERROR_ACCESS_DENIED;
  }
  if (disposition) *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  auto k = std::make_shared<RegistryKey>();
  k->dir = dir;
  k->access = access;
  *result = static_cast<HKEY>(InsertHandle(std::move(k)));
  return ERROR_SUCCESS;
}

}  // namespace

// Writes a value from a test or tool, creating the key.
LONG SetRegistryValue(HKEY root, const std::wstring& key, const std::wstring& name, DWORD type,
                      const void* data, DWORD bytes) {
  HKEY k;
  LONG rc = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(k, name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes);
  RegCloseKey(k);
  return rc;
}

}  // namespace win32emu

using namespace win32emu;

extern "C" {

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result) {
  W32EMU_FAULT_POINT_RETURN("RegOpenKeyExW");
  return OpenKey(key, subKey, access, result, false, nullptr);
}

LONG WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access,
                            LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  W32EMU_FAULT_POINT_RETURN("RegCreateKeyExW");
  return OpenKey(key, subKey, access, result, true, disposition);
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataBytes) {
  W32EMU_FAULT_POINT_RETURN("RegQueryValueExW");
  std::string dir;
  REGSAM access;
  if (!RootDir(key, &dir, &access)) return ERROR_INVALID_HANDLE;
  if (reserved || (data && !dataBytes)) return ERROR_INVALID_PARAMETER;
  if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  std::ifstream in(ValueFile(dir, name), std::ios::binary);
  if (!in) return ERROR_FILE_NOT_FOUND;
  std::string stored((std::istreambuf_iterator<char>(in)), {});
  if (stored.size() < 4) return ERROR_BADDB;
  DWORD storedType;
  memcpy(&storedType, stored.data(), 4);
  DWORD size = static_cast<DWORD>(stored.size() - 4);
  if (type) *type = storedType;
  if (!dataBytes) return ERROR_SUCCESS;
  DWORD room = *dataBytes;
  *dataBytes = size;
  if (!data) return ERROR_SUCCESS;
  if (room < size) return ERROR_MORE_DATA;
  memcpy(data, stored.data() + 4, size);
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data,
                           DWORD dataBytes) {
  W32EMU_FAULT_POINT_RETURN("RegSetValueExW");
  std::string dir;
  REGSAM access;
  if (!RootDir(key, &dir, &access)) return ERROR_INVALID_HANDLE;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (dataBytes && !data) return ERROR_NOACCESS;
  std::string tmp = ValueFile(dir, name) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return ERROR_ACCESS_DENIED;
    out.write(reinterpret_cast<const char*>(&type), 4);
    if (dataBytes) out.write(reinterpret_cast<const char*>(data), dataBytes);
  }
  std::error_code ec;
  fs::rename(tmp, ValueFile(dir, name), ec);
  return ec ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueW(HKEY key, LPCWSTR name) {
  W32EMU_FAULT_POINT_RETURN("RegDeleteValueW");
  std::string dir;
  REGSAM access;
  if (!RootDir(key, &dir, &access)) return ERROR_INVALID_HANDLE;
  std::error_code ec;
  return fs::remove(ValueFile(dir, name), ec) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  W32EMU_FAULT_POINT_RETURN("RegDeleteKeyW");
  std::string base;
  REGSAM access;
  if (!RootDir(key, &base, &access)) return ERROR_INVALID_HANDLE;
  std::string dir = SubDir(base, subKey);
  if (!IsKey(dir)) return ERROR_FILE_NOT_FOUND;
  for (auto& entry : fs::directory_iterator(dir))
    if (entry.is_directory()) return ERROR_ACCESS_DENIED;  // subkeys must go first
  std::error_code ec;
  fs::remove_all(dir, ec);
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
  W32EMU_FAULT_POINT_RETURN("RegCloseKey");
  if (!LookupHandleAs<RegistryKey>(key)) return ERROR_INVALID_HANDLE;
  RemoveHandle(key);
  return ERROR_SUCCESS;
}

}  // extern "C"
