// The service host: the command line, the control table, the status reports of a start/stop
// cycle and the administrative actions, through the world's service manager.
#include <dbt.h>
#include <gmock/gmock.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "service/brisa_service.h"
#include "service_fixture.h"
#include "win32emu/world.h"

namespace brisa {
namespace {

using ::testing::ElementsAre;
using testing::LineText;
using testing::LogLines;
using testing::ReadWorldFile;

// Records which operation the host called.
class RecordingService : public cWinService {
 public:
  std::vector<std::string> calls;
  bool InstallService() override { return Note("install"); }
  bool UninstallService() override { return Note("uninstall"); }
  bool StartInstalledService() override { return Note("start"); }
  bool StopInstalledService() override { return Note("stop-installed"); }
  bool Connect() override { return Note("connect"); }
  bool Run(DWORD, LPWSTR*) override { return Note("run"); }
  bool Stop() override { return Note("stop"); }
  bool Pause() override { return Note("pause"); }
  bool Continue() override { return Note("continue"); }
  bool Shutdown() override { return Note("shutdown"); }
  DWORD DeviceChange(DWORD, LPVOID) override { return Note("device"), 0xD1; }
  DWORD HardwareProfileChange(DWORD, LPVOID) override { return Note("profile"), 0xD2; }
  DWORD PowerStateChange(DWORD, LPVOID) override { return Note("power"), 0xD3; }
  DWORD SessionChange(DWORD, LPVOID) override { return Note("session"), 0xD4; }
  DWORD UserControl(DWORD) override { return Note("user"), 0xD5; }
  DWORD State() const { return status.dwCurrentState; }

 private:
  bool Note(const char* what) {
    calls.push_back(what);
    return true;
  }
};

TEST(CommandLine, EachSwitchAndEachMistake) {
  struct Case {
    std::vector<const wchar_t*> args;
    int exitCode;
    std::vector<std::string> calls;
  } cases[] = {
      {{}, 0, {"connect"}},
      {{L"abc"}, 0, {"connect"}},  // not two characters: ends the scan
      {{L"-"}, 0, {"connect"}},
      {{L"-i"}, 0, {"install"}},
      {{L"/u"}, 0, {"uninstall"}},
      {{L"-s", L"abc"}, 0, {"start"}},
      {{L"/e"}, 0, {"stop-installed"}},
      {{L"-i", L"-u"}, -2, {}},
      {{L"-i", L"-i"}, -2, {}},
      {{L"-x"}, -2, {}},
      {{L"-I"}, -2, {}},  // upper case is not a switch
      {{L"xi"}, -2, {}},
      {{L"-s", L"/x"}, -2, {}},
      {{L""}, -2, {}},
      {{L"-e", L"extra", L"-i"}, 0, {"stop-installed"}},  // the long word ends the scan
  };
  for (const Case& c : cases) {
    RecordingService service;
    std::vector<wchar_t*> argv{const_cast<wchar_t*>(L"brisa")};
    for (auto* a : c.args) argv.push_back(const_cast<wchar_t*>(a));
    std::string shown;
    for (auto* a : c.args) shown += "'" + win32emu::Narrow(a) + "' ";
    SCOPED_TRACE(shown);
    EXPECT_EQ(RunProgram(service, static_cast<int>(argv.size()), argv.data()), c.exitCode);
    EXPECT_EQ(service.calls, c.calls);
  }
}

TEST(CommandLine, AMissingArgumentIsABadCommandLine) {
  RecordingService service;
  wchar_t* argv[] = {const_cast<wchar_t*>(L"brisa"), nullptr};
  EXPECT_EQ(RunProgram(service, 2, argv), -2);
  EXPECT_TRUE(service.calls.empty());
}

TEST(Control, EveryRowOfTheTable) {
  struct Row {
    DWORD control;
    const char* call;  // nullptr: nothing called
    DWORD result;
    DWORD stateAfter;  // 0: unchanged
  } rows[] = {
      {SERVICE_CONTROL_STOP, "stop", 0, SERVICE_STOP_PENDING},
      {SERVICE_CONTROL_PAUSE, "pause", 0, SERVICE_PAUSE_PENDING},
      {SERVICE_CONTROL_CONTINUE, "continue", 0, SERVICE_CONTINUE_PENDING},
      {SERVICE_CONTROL_INTERROGATE, nullptr, 0, 0},
      {SERVICE_CONTROL_SHUTDOWN, "shutdown", 0, 0},
      {SERVICE_CONTROL_PARAMCHANGE, nullptr, ERROR_CALL_NOT_IMPLEMENTED, 0},
      {SERVICE_CONTROL_NETBINDADD, nullptr, ERROR_CALL_NOT_IMPLEMENTED, 0},
      {SERVICE_CONTROL_NETBINDDISABLE, nullptr, ERROR_CALL_NOT_IMPLEMENTED, 0},
      {SERVICE_CONTROL_DEVICEEVENT, "device", 0xD1, 0},
      {SERVICE_CONTROL_HARDWAREPROFILECHANGE, "profile", 0xD2, 0},
      {SERVICE_CONTROL_POWEREVENT, "power", 0xD3, 0},
      {SERVICE_CONTROL_SESSIONCHANGE, "session", 0xD4, 0},
      {0, nullptr, 0, 0},
      {SERVICE_CONTROL_PRESHUTDOWN, nullptr, 0, 0},
      {127, nullptr, 0, 0},
      {128, "user", 0xD5, 0},
      {255, "user", 0xD5, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.control);
    RecordingService service;
    DWORD before = service.State();
    EXPECT_EQ(service.Control(nullptr, 0x8000, r.control), r.result);
    if (r.call)
      EXPECT_THAT(service.calls, ElementsAre(r.call));
    else
      EXPECT_TRUE(service.calls.empty());
    EXPECT_EQ(service.State(), r.stateAfter ? r.stateAfter : before);
  }
}

// A cBrisa run by the world's service manager inside this process.
class ServiceCycleTest : public testing::WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    win32emu::SetTimeScale(50);
    win32emu::SetInProcessServiceHost([this](const std::wstring& name) {
      if (serviceThread_.joinable()) serviceThread_.join();
      serviceThread_ = std::thread([this, name] {
        win32emu::SetStartedAsService(name);
        service_.Connect();
      });
    });
  }
  void TearDown() override {
    if (serviceThread_.joinable()) serviceThread_.join();
    WorldTest::TearDown();
  }
  std::vector<std::wstring> Log() {
    std::vector<std::wstring> texts;
    for (auto& line : LogLines(ReadWorldFile(L"C:\\ProgramData\\Nortane\\Brisa\\BrisaOristo.txt")))
      texts.push_back(LineText(line));
    return texts;
  }
  cBrisa service_;
  std::thread serviceThread_;
};

TEST_F(ServiceCycleTest, StartAndStopReportInOrder) {
  ASSERT_TRUE(service_.InstallService());
  EXPECT_FALSE(service_.InstallService());  // exists already
  ASSERT_TRUE(service_.StartInstalledService());
  ASSERT_TRUE(service_.StopInstalledService());
  serviceThread_.join();

  auto reports = win32emu::StatusReports();
  ASSERT_EQ(reports.size(), 4u);
  struct Expected {
    DWORD state, accepted, checkPoint;
  } expected[] = {{SERVICE_START_PENDING, 0, 1},
                  {SERVICE_RUNNING, 0x41, 0},
                  {SERVICE_STOP_PENDING, 0x41, 2},
                  {SERVICE_STOPPED, 0x41, 0}};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(reports[i].serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(reports[i].currentState, expected[i].state);
    EXPECT_EQ(reports[i].controlsAccepted, expected[i].accepted);
    EXPECT_EQ(reports[i].checkPoint, expected[i].checkPoint);
    EXPECT_EQ(reports[i].waitHint, 3000u);
    EXPECT_EQ(reports[i].win32ExitCode, 0u);
    EXPECT_EQ(reports[i].serviceSpecificExitCode, 0u);
  }
  EXPECT_THAT(Log(), ElementsAre(L"Connect()", L"Main()", L"ReportStatus()", L"Run( \"\", 2 ) ",
                                 L"SetPriorityClass() = 1", L"ReportStatus()", L"Control()",
                                 L"Stop() ", L"ReportStatus()", L"ReportStatus()"));
  ASSERT_TRUE(service_.UninstallService());  // stopped already: the stop fails, delete works
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_EQ(OpenServiceW(scm, L"BrisaOristo", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  CloseServiceHandle(scm);
}

TEST_F(ServiceCycleTest, DeviceEventsReachOnlyARegisteredClass) {
  ASSERT_TRUE(service_.InstallService());
  ASSERT_TRUE(service_.StartInstalledService());
  DEV_BROADCAST_DEVICEINTERFACE_W event{};
  event.dbcc_size = sizeof event;
  event.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  event.dbcc_classguid = kComPortInterfaceClass;
  EXPECT_EQ(win32emu::DeliverControl(L"BrisaOristo", SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                                     &event, sizeof event),
            0u);
  event.dbcc_classguid.Data1 ^= 1;
  EXPECT_NE(win32emu::DeliverControl(L"BrisaOristo", SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                                     &event, sizeof event),
            0u);
  EXPECT_EQ(win32emu::DeliverControl(L"BrisaOristo", 200, 0, nullptr, 0),
            static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  ASSERT_TRUE(service_.StopInstalledService());
  serviceThread_.join();
  auto log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), L"Control()"), 3);  // arrival, user code, stop
  EXPECT_EQ(std::count(log.begin(), log.end(), L"UserControl( 200 )"), 1);
}

TEST(ServiceProgram, FromAConsoleTheDispatcherFailsAtOnce) {
  std::string root = win32emu::MakeTemporaryWorld();
  CreateDirectoryW(L"C:\\ProgramData\\Nortane", nullptr);
  cBrisa service;
  EXPECT_FALSE(service.Connect());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  std::string bytes = ReadWorldFile(L"C:\\ProgramData\\Nortane\\Brisa\\BrisaOristo.txt");
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  auto lines = LogLines(bytes);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(LineText(lines[0]), L"Connect()");
}

// A service whose stop request never completes, and one that never gets past start-pending.
class StuckService : public cWinService {
 public:
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool reportRunning = true;
  ~StuckService() override { CloseHandle(release); }
  bool Run(DWORD, LPWSTR*) override {
    if (reportRunning) ReportStatus(SERVICE_RUNNING);
    WaitForSingleObject(release, INFINITE);
    return true;
  }
  bool Stop() override { return ReportStatus(SERVICE_STOP_PENDING); }
};

class AdminPollingTest : public testing::WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    win32emu::SetTimeScale(200);  // the ten one-second sleeps take 50 ms
    win32emu::SetInProcessServiceHost([this](const std::wstring& name) {
      serviceThread_ = std::thread([this, name] {
        win32emu::SetStartedAsService(name);
        service_.Connect();
      });
    });
    ASSERT_TRUE(service_.InstallService());
  }
  void TearDown() override {
    SetEvent(service_.release);
    if (serviceThread_.joinable()) serviceThread_.join();
    WorldTest::TearDown();
  }
  StuckService service_;
  std::thread serviceThread_;
};

TEST_F(AdminPollingTest, UninstallDeletesAServiceThatDoesNotStopInTenSeconds) {
  ASSERT_TRUE(service_.StartInstalledService());
  win32emu::ClearFailures();
  EXPECT_TRUE(service_.UninstallService());
  EXPECT_EQ(win32emu::CallCount("QueryServiceStatus"), 10);
  // Marked for deletion: it goes once it has stopped.
  SetEvent(service_.release);
  serviceThread_.join();
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_EQ(OpenServiceW(scm, L"BrisaOristo", SERVICE_QUERY_STATUS), nullptr);
  CloseServiceHandle(scm);
}

TEST_F(AdminPollingTest, StopGivesUpAfterTenPolls) {
  ASSERT_TRUE(service_.StartInstalledService());
  win32emu::ClearFailures();
  EXPECT_FALSE(service_.StopInstalledService());
  EXPECT_EQ(win32emu::CallCount("QueryServiceStatus"), 10);
}

TEST_F(AdminPollingTest, StartFailsWhileTheServiceStaysStartPending) {
  service_.reportRunning = false;
  win32emu::ClearFailures();
  EXPECT_FALSE(service_.StartInstalledService());
  EXPECT_EQ(win32emu::CallCount("QueryServiceStatus"), 10);
}

TEST_F(AdminPollingTest, AFailedQueryEndsThePolling) {
  ASSERT_TRUE(service_.StartInstalledService());
  win32emu::ClearFailures();
  win32emu::InjectFailure("QueryServiceStatus", ERROR_ACCESS_DENIED, 2);
  EXPECT_FALSE(service_.StopInstalledService());
  EXPECT_EQ(win32emu::CallCount("QueryServiceStatus"), 3);
}

TEST_F(AdminPollingTest, ManagerFailuresMakeTheActionFail) {
  for (const char* call : {"OpenSCManagerW", "OpenServiceW", "StartServiceW"}) {
    SCOPED_TRACE(call);
    win32emu::InjectFailure(call, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(service_.StartInstalledService());
  }
  win32emu::InjectFailure("GetModuleFileNameW", ERROR_GEN_FAILURE);
  EXPECT_FALSE(service_.InstallService());
}

}  // namespace
}  // namespace brisa
