// SetupAPI over the world's device interfaces, and the device and power events of the world.
#include <dbt.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core.h"
#include "win32emu/devices.h"

namespace win32emu {
namespace {

namespace fs = std::filesystem;

std::string ClassDir(const GUID& g) {
  char name[64];
  snprintf(name, sizeof name, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g.Data1, g.Data2,
           g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
           g.Data4[6], g.Data4[7]);
  return WorldRoot() + "/devices/interfaces/" + name;
}

// One file per interface, named by a hash of its lower-cased path and holding the path.
std::string InterfaceFile(const GUID& g, const std::wstring& path) {
  std::wstring lower(path);
  std::transform(lower.begin(), lower.end(), lower.begin(), towlower);
  return ClassDir(g) + "/" + std::to_string(std::hash<std::string>{}(Narrow(lower)));
}

class DeviceInfoSet : public KernelObject {
 public:
  const char* TypeName() const override { return "DeviceInfoSet"; }
  GUID interfaceClass{};
  std::vector<std::wstring> paths;
};

}  // namespace

void AddDeviceInterface(const GUID& interfaceClass, const std::wstring& devicePath) {
  std::error_code ec;
  fs::create_directories(ClassDir(interfaceClass), ec);
  std::string file = InterfaceFile(interfaceClass, devicePath);
  {
    std::ofstream out(file + ".tmp", std::ios::trunc);
    out << Narrow(devicePath);
  }
  fs::rename(file + ".tmp", file, ec);
}

bool RemoveDeviceInterface(const GUID& interfaceClass, const std::wstring& devicePath) {
  std::error_code ec;
  return fs::remove(InterfaceFile(interfaceClass, devicePath), ec);
}

std::vector<std::wstring> DeviceInterfaces(const GUID& interfaceClass) {
  std::vector<std::pair<fs::file_time_type, std::wstring>> found;
  std::error_code ec;
  for (auto& entry : fs::directory_iterator(ClassDir(interfaceClass), ec)) {
    if (entry.path().extension() == ".tmp") continue;
    std::ifstream in(entry.path());
    std::string path((std::istreambuf_iterator<char>(in)), {});
    if (!path.empty()) found.emplace_back(entry.last_write_time(ec), Widen(path));
  }
  // In the order the devices arrived.
  std::sort(found.begin(), found.end());
  std::vector<std::wstring> paths;
  for (auto& f : found) paths.push_back(f.second);
  return paths;
}

DWORD SendDeviceInterfaceEvent(const std::wstring& service, DWORD eventType,
                               const GUID& interfaceClass, const std::wstring& devicePath) {
  size_t bytes = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                 (devicePath.size() + 1) * sizeof(wchar_t);
  std::vector<char> record(std::max(bytes, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)));
  auto* di = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(record.data());
  di->dbcc_size = static_cast<DWORD>(bytes);
  di->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  di->dbcc_classguid = interfaceClass;
  memcpy(di->dbcc_name, devicePath.c_str(), (devicePath.size() + 1) * sizeof(wchar_t));
  return DeliverControl(service, 11 /* SERVICE_CONTROL_DEVICEEVENT */, eventType, record.data(),
                        record.size());
}

DWORD SendPowerEvent(const std::wstring& service, DWORD eventType) {
  return DeliverControl(service, 13 /* SERVICE_CONTROL_POWEREVENT */, eventType, nullptr, 0);
}

}  // namespace win32emu

using namespace win32emu;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND, DWORD flags) {
  W32EMU_FAULT_POINT("SetupDiGetClassDevsW", INVALID_HANDLE_VALUE);
  // Only the interface listing the service uses: present interfaces of one class.
  if (!(flags & DIGCF_DEVICEINTERFACE) || (!classGuid && !(flags & DIGCF_ALLCLASSES)) ||
      (enumerator && *enumerator)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_shared<DeviceInfoSet>();
  set->interfaceClass = *classGuid;
  set->paths = DeviceInterfaces(*classGuid);
  return InsertHandle(std::move(set));
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA, const GUID* interfaceClass,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  W32EMU_FAULT_POINT("SetupDiEnumDeviceInterfaces", FALSE);
  auto set = LookupHandleAs<DeviceInfoSet>(h);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!data || !interfaceClass || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(data && interfaceClass ? ERROR_INVALID_USER_BUFFER : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (*interfaceClass != set->interfaceClass || index >= set->paths.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = set->interfaceClass;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                             DWORD detailSize, PDWORD requiredSize,
                                             PSP_DEVINFO_DATA) {
  W32EMU_FAULT_POINT("SetupDiGetDeviceInterfaceDetailW", FALSE);
  auto set = LookupHandleAs<DeviceInfoSet>(h);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
      data->Reserved > set->paths.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::wstring& path = set->paths[data->Reserved - 1];
  DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                    (path.size() + 1) * sizeof(WCHAR));
  if (requiredSize) *requiredSize = needed;
  if (!detail) {
    SetLastError(detailSize ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detailSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO h) {
  W32EMU_FAULT_POINT("SetupDiDestroyDeviceInfoList", FALSE);
  if (!LookupHandleAs<DeviceInfoSet>(h)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  RemoveHandle(h);
  return TRUE;
}

}  // extern "C"
