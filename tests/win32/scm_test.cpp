// The service manager's documented errors and states, with a service run inside this process.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "win32emu/world.h"

namespace {

// A minimal service: reports running, stops on SERVICE_CONTROL_STOP, accepts what it is told.
struct TestService {
  static inline SERVICE_STATUS_HANDLE handle = nullptr;
  static inline std::atomic<DWORD> accepted{SERVICE_ACCEPT_STOP};
  static inline HANDLE stop = nullptr;
  static inline bool reportRunning = true;

  static void Report(DWORD state) {
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS,
                     state,
                     state == SERVICE_START_PENDING ? 0 : accepted.load(),
                     0,
                     0,
                     0,
                     0};
    SetServiceStatus(handle, &s);
  }
  static DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP) {
      Report(SERVICE_STOP_PENDING);
      SetEvent(stop);
      return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  static void WINAPI Main(DWORD, LPWSTR*) {
    handle = RegisterServiceCtrlHandlerExW(L"TestSvc", Handler, nullptr);
    Report(SERVICE_START_PENDING);
    if (reportRunning) Report(SERVICE_RUNNING);
    WaitForSingleObject(stop, INFINITE);
    Report(SERVICE_STOPPED);
  }
};

class ScmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = win32emu::MakeTemporaryWorld();
    win32emu::ClearFailures();
    TestService::stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    TestService::accepted = SERVICE_ACCEPT_STOP;
    TestService::reportRunning = true;
    win32emu::SetInProcessServiceHost([this](const std::wstring& name) {
      host_ = std::thread([name] {
        win32emu::SetStartedAsService(name);
        SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"TestSvc"), TestService::Main},
                                        {nullptr, nullptr}};
        StartServiceCtrlDispatcherW(table);
      });
    });
    scm_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    wchar_t self[1024];
    GetModuleFileNameW(nullptr, self, 1024);
    service_ = CreateServiceW(scm_, L"TestSvc", L"Test service", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              self, nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service_, nullptr);
  }
  void TearDown() override {
    SetEvent(TestService::stop);
    if (host_.joinable()) host_.join();
    CloseServiceHandle(service_);
    CloseServiceHandle(scm_);
    CloseHandle(TestService::stop);
    win32emu::SetInProcessServiceHost(nullptr);
    win32emu::SetStartedAsService(L"");
    std::filesystem::remove_all(root_);
  }
  DWORD State() {
    SERVICE_STATUS s{};
    EXPECT_TRUE(QueryServiceStatus(service_, &s));
    return s.dwCurrentState;
  }
  std::string root_;
  SC_HANDLE scm_ = nullptr, service_ = nullptr;
  std::thread host_;
};

TEST_F(ScmTest, DatabaseErrors) {
  EXPECT_EQ(CreateServiceW(scm_, L"TestSvc", L"Other", SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           L"C:\\x.exe", nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
  EXPECT_EQ(OpenServiceW(scm_, L"NoSuchSvc", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  SC_HANDLE second = OpenServiceW(scm_, L"testsvc", SERVICE_ALL_ACCESS);  // case-insensitive
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(DeleteService(second));
  EXPECT_FALSE(DeleteService(service_));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_FALSE(StartServiceW(service_, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  CloseServiceHandle(second);  // stopped and no handle left in this process: gone
  EXPECT_EQ(OpenServiceW(scm_, L"TestSvc", SERVICE_ALL_ACCESS), nullptr);
}

TEST_F(ScmTest, ControlsFollowTheStateAndWhatIsAccepted) {
  SERVICE_STATUS s{};
  EXPECT_FALSE(ControlService(service_, SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  ASSERT_TRUE(StartServiceW(service_, 0, nullptr));
  while (State() != SERVICE_RUNNING) Sleep(1);
  EXPECT_FALSE(StartServiceW(service_, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  EXPECT_FALSE(ControlService(service_, SERVICE_CONTROL_PAUSE, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_FALSE(ControlService(service_, SERVICE_CONTROL_SHUTDOWN, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(ControlService(service_, SERVICE_CONTROL_INTERROGATE, &s));
  EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  SC_HANDLE limited = OpenServiceW(scm_, L"TestSvc", SERVICE_QUERY_STATUS);
  EXPECT_FALSE(ControlService(limited, 200, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseServiceHandle(limited);
  EXPECT_TRUE(ControlService(service_, SERVICE_CONTROL_STOP, &s));
  // The last status reported: the service may already have gone on from STOP_PENDING.
  EXPECT_TRUE(s.dwCurrentState == SERVICE_STOP_PENDING || s.dwCurrentState == SERVICE_STOPPED);
  host_.join();
  EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ScmTest, AStartPendingServiceCannotAcceptControls) {
  TestService::reportRunning = false;
  ASSERT_TRUE(StartServiceW(service_, 0, nullptr));
  SERVICE_STATUS s{};
  for (int i = 0; i < 1000 && State() != SERVICE_START_PENDING; ++i) Sleep(1);
  EXPECT_FALSE(ControlService(service_, SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
}

TEST_F(ScmTest, OutsideTheManagerTheDispatcherAndHandlerFail) {
  win32emu::SetStartedAsService(L"");
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"TestSvc"), TestService::Main},
                                  {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_EQ(RegisterServiceCtrlHandlerExW(L"TestSvc", TestService::Handler, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

}  // namespace
