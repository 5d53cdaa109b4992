// File mappings, code pages, the registry and SetupAPI, as the platform documents them.
#include <setupapi.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "win32emu/devices.h"
#include "win32emu/world.h"

namespace {

const GUID kComPort = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

class DeviceSliceTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = win32emu::MakeTemporaryWorld(); }
  void TearDown() override {
    win32emu::ClearFailures();
    std::filesystem::remove_all(root_);
  }
  static HANDLE Make(const wchar_t* name, const std::string& bytes) {
    HANDLE h =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n;
    if (!bytes.empty()) WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    CloseHandle(h);
    return CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  }
  std::string root_;
};

TEST_F(DeviceSliceTest, MappingAFileAndAnEmptyOne) {
  HANDLE file = Make(L"C:\\image.mbn", "firmware");
  HANDLE map = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));  // opened for reading only
  auto* view = static_cast<const char*>(MapViewOfFile(map, FILE_MAP_READ, 0, 0, 8));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 8), "firmware");
  EXPECT_EQ(MapViewOfFile(map, FILE_MAP_READ, 0, 4096, 0), nullptr);  // not on the granularity
  CloseHandle(map);
  CloseHandle(file);
  EXPECT_EQ(std::string(view, 8), "firmware");  // the view keeps the file in use
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));

  HANDLE empty = Make(L"C:\\empty.mbn", "");
  EXPECT_EQ(CreateFileMappingW(empty, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_INVALID));
  CloseHandle(empty);
}

TEST_F(DeviceSliceTest, MultiByteToWideCharCountsAndConverts) {
  EXPECT_EQ(MultiByteToWideChar(CP_THREAD_ACP, 0, "abc", -1, nullptr, 0), 4);  // with the NUL
  EXPECT_EQ(MultiByteToWideChar(CP_THREAD_ACP, 0, "abc", 3, nullptr, 0), 3);
  wchar_t out[8] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_THREAD_ACP, 0, "\x80\xE9\x9F", 3, out, 8), 3);
  EXPECT_EQ(out[0], 0x20AC);  // euro sign in Windows-1252
  EXPECT_EQ(out[1], 0x00E9);
  EXPECT_EQ(out[2], 0x0178);
  EXPECT_EQ(MultiByteToWideChar(CP_THREAD_ACP, 0, "abcd", 4, out, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

#ifndef NORTANE_REAL_WINDOWS  // world control
TEST_F(DeviceSliceTest, RegistryValuesAndTheirSizes) {
  HKEY key;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\Nothing", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  const wchar_t port[] = {L'C', L'O', L'M', L'7'};  // stored without its NUL
  ASSERT_EQ(win32emu::SetRegistryValue(
                HKEY_LOCAL_MACHINE,
                L"System\\CurrentControlSet\\Enum\\USB\\VID_1209&PID_0001\\5&1\\Device Parameters",
                L"PortName", REG_SZ, port, sizeof port),
            ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(
                HKEY_LOCAL_MACHINE,
                L"system\\currentcontrolset\\enum\\usb\\vid_1209&pid_0001\\5&1\\device parameters",
                0, KEY_READ, &key),
            ERROR_SUCCESS);  // names are case-insensitive
  DWORD type = 0, bytes = 0;
  EXPECT_EQ(RegQueryValueExW(key, L"PortName", nullptr, &type, nullptr, &bytes), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(bytes, sizeof port);
  BYTE small[2];
  bytes = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, L"PortName", nullptr, &type, small, &bytes), ERROR_MORE_DATA);
  EXPECT_EQ(bytes, sizeof port);
  wchar_t buffer[16];
  bytes = sizeof buffer;
  EXPECT_EQ(
      RegQueryValueExW(key, L"portname", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes),
      ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(buffer, bytes / sizeof(wchar_t)), L"COM7");
  EXPECT_EQ(RegQueryValueExW(key, L"Missing", nullptr, &type, nullptr, &bytes),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(DeviceSliceTest, InterfaceDetailsInTwoCalls) {
  const std::wstring path =
      L"\\\\?\\usb#vid_1209&pid_0001#5&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  win32emu::AddDeviceInterface(kComPort, path);
  HDEVINFO set =
      SetupDiGetClassDevsW(&kComPort, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kComPort, 0, &data));
  DWORD needed = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<char> buffer(needed);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = needed;  // the structure's size is wanted, not the buffer's
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr));
  EXPECT_EQ(std::wstring(detail->DevicePath), path);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kComPort, 1, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

  win32emu::RemoveDeviceInterface(kComPort, path);
  set = SetupDiGetClassDevsW(&kComPort, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kComPort, 0, &data));
  SetupDiDestroyDeviceInfoList(set);
}
#endif

}  // namespace
