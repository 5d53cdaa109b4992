// The device watch: which ports it serves, the waiting sweeps, removal, suspend, two modules,
// and stop during a download.
#include <dbt.h>
#include <gmock/gmock.h>

#include <thread>

#include "download_fixture.h"
#include "service/options.h"
#include "win32emu/devices.h"
#include "win32emu/world.h"

namespace brisa::testing {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

class DeviceWatchTest : public DownloadTest {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    win32emu::SetTimeScale(20);
    set_ = InstallSet(ImageFolder() + L"1\\", 300001, 7);
  }
  tarnsim::sModuleConfig Module() {
    tarnsim::sModuleConfig c;
    c.firmwareSet = 1;
    c.imageVersion = 7;
    return c;
  }
  size_t Count(const std::wstring& prefix) {
    auto log = Log();
    return std::count_if(log.begin(), log.end(),
                         [&](const std::wstring& l) { return l.rfind(prefix, 0) == 0; });
  }
  sFirmware set_;
};

TEST_F(DeviceWatchTest, UnservicedIdsAndMissingPortNames) {
  AddModule(Module(), 1, L"vid_1209&pid_00ff");
  service_->PDC();
  EXPECT_EQ(service_->DownloadCount(), 0u);
  EXPECT_TRUE(Log().empty());  // silently ignored

  worldsim::sModuleIdentity id;
  id.instance = L"7&77";
  worldsim::PlugModule(id, /*withPortName=*/false);
  service_->PDC();
  service_->PDC();
  EXPECT_EQ(Count(L"PDA() - Registry query error"), 2u);  // once per pass
  EXPECT_EQ(service_->DownloadCount(), 0u);
}

TEST_F(DeviceWatchTest, AFinishedModuleThatStaysIsWaitedForThirtySweeps) {
  auto module = AddModule(Module());
  ASSERT_EQ(RunOneDownload(), 0u);
  ASSERT_TRUE(module->WaitLeft(20000));
  module->Arrive();  // it comes back in download mode before the entry is forgotten
  service_->PDC();   // the same port is not served twice
  EXPECT_EQ(Count(L"PDA() - Attempting"), 1u);
  for (int i = 1; i <= 30; ++i) service_->CT(false, -1);
  EXPECT_EQ(Count(L"CT() - Waiting for device removal"), 30u);
  auto log = Log();
  EXPECT_THAT(log, Contains(L"CT() - Waiting for device removal (1 of 30)"));
  EXPECT_THAT(log, Contains(L"CT() - Waiting for device removal (30 of 30)"));
  EXPECT_EQ(service_->DownloadCount(), 1u);
  service_->CT(false, -1);
  EXPECT_THAT(Log(), Contains(L"CT() - Abandoning wait for device removal"));
  EXPECT_EQ(service_->DownloadCount(), 0u);
  service_->PDC();  // the next pass serves it again
  EXPECT_EQ(Count(L"PDA() - Attempting"), 2u);
  EXPECT_TRUE(service_->WaitDownload(0, 20000));
}

TEST_F(DeviceWatchTest, RemovalOfAnEndedDownloadClosesItAtOnce) {
  auto module = AddModule(Module());
  ASSERT_EQ(RunOneDownload(), 0u);
  EXPECT_FALSE(service_->DeviceRemoved(L"\\\\?\\usb#vid_1209&pid_00ff#x#{y}"));
  EXPECT_TRUE(service_->DeviceRemoved(worldsim::InterfacePath(module->Identity())));
  EXPECT_EQ(service_->DownloadCount(), 0u);
  EXPECT_EQ(Count(L"CT() - Waiting"), 0u);
  EXPECT_THAT(Log(), Contains(HasSubstr(L"CT() - Closed download thread ")));
}

TEST_F(DeviceWatchTest, NoEnumerationWhileSuspended) {
  AddModule(Module());
  service_->PowerStateChange(PBT_APMSUSPEND, nullptr);
  service_->PDC();
  EXPECT_EQ(service_->DownloadCount(), 0u);
  service_->PowerStateChange(PBT_APMRESUMEAUTOMATIC, nullptr);
  EXPECT_EQ(RunOneDownload(), 0u);
  auto log = Log();
  EXPECT_THAT(log, Contains(L"PowerStateChange( PBT_APMSUSPEND )"));
  EXPECT_THAT(log, Contains(L"PowerStateChange( PBT_APMRESUMEAUTOMATIC )"));
}

TEST_F(DeviceWatchTest, TwoModulesAreServedAtOnce) {
  auto first = AddModule(Module(), 1);
  auto second = AddModule(Module(), 2, L"vid_1209&pid_0002");
  service_->PDC();
  ASSERT_EQ(service_->DownloadCount(), 2u);
  EXPECT_TRUE(service_->WaitDownload(0, 60000));
  EXPECT_TRUE(service_->WaitDownload(1, 60000));
  for (auto& m : {first, second}) {
    auto images = m->Images();
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0].digest, set_.amssDigest);
    EXPECT_EQ(images[2].digest, set_.nvpkDigest);
  }
  EXPECT_EQ(Count(L"Tarn download complete"), 2u);
}

TEST_F(DeviceWatchTest, DeviceEventsAreLoggedAndChecked) {
  auto module = AddModule(Module());
  std::wstring path = worldsim::InterfacePath(module->Identity());
  DEV_BROADCAST_HDR port{sizeof port, DBT_DEVTYP_PORT, 0};
  EXPECT_EQ(service_->DeviceChange(DBT_DEVICEARRIVAL, &port), 0u);
  EXPECT_EQ(service_->DeviceChange(DBT_DEVICEQUERYREMOVE, &port), 0u);
  EXPECT_EQ(service_->DeviceChange(DBT_DEVICEREMOVEPENDING, &port), 0u);
  EXPECT_EQ(service_->DeviceChange(DBT_CONFIGCHANGED, &port), 0u);
  EXPECT_EQ(service_->DeviceChange(DBT_DEVICEREMOVECOMPLETE, &port), 0u);
  EXPECT_EQ(service_->DeviceChange(DBT_DEVICEARRIVAL, nullptr), 0u);
  EXPECT_EQ(Log(),
            (std::vector<std::wstring>{
                L"DeviceChange( ARRIVAL ) - N/A", L"DeviceChange( QUERYREMOVE )",
                L"DeviceChange( REMOVEPENDING )", L"DeviceChange( N/A )",
                L"DeviceChange( REMOVE ) - N/A", L"DeviceChange() - Invalid state/argument"}));
}

TEST_F(DeviceWatchTest, StopDuringADownloadEndsTheLoopWithinASecond) {
  win32emu::SetTimeScale(1);
  auto module = AddModule(Module());
  module->AddFault({tarnsim::eFaultKind::Delay, 0x27, 0, 3000});  // a slow module
  std::thread host;
  win32emu::SetInProcessServiceHost([&](const std::wstring& name) {
    host = std::thread([this, name] {
      win32emu::SetStartedAsService(name);
      service_->Connect();
    });
  });
  ASSERT_TRUE(service_->InstallService());
  ASSERT_TRUE(service_->StartInstalledService());
  for (int i = 0; i < 500 && service_->DownloadCount() == 0; ++i) Sleep(10);
  ASSERT_EQ(service_->DownloadCount(), 1u);
  ULONGLONG start = GetTickCount64();
  ASSERT_TRUE(service_->StopInstalledService());
  host.join();
  EXPECT_LT(GetTickCount64() - start, 2500u);
  EXPECT_THAT(Log(), Not(Contains(L"Tarn download complete")));
  EXPECT_EQ(win32emu::StatusReports().back().currentState, static_cast<DWORD>(SERVICE_STOPPED));
}

}  // namespace
}  // namespace brisa::testing

namespace brisa::testing {
namespace {

TEST_F(DeviceWatchTest, ARemovalSeenWhileTheDownloadRunsIsNotWaitedForAgain) {
  auto module = AddModule(Module());
  module->AddFault({tarnsim::eFaultKind::Delay, 0x29, 1, 2000});  // the thread is still busy
  service_->PDC();
  ASSERT_EQ(service_->DownloadCount(), 1u);
  EXPECT_TRUE(service_->DeviceRemoved(worldsim::InterfacePath(module->Identity())));
  // The removal disconnects the server, so the thread ends soon; when it was still running, the
  // entry stays until a later sweep closes it, without waiting for a removal already seen.
  if (service_->DownloadCount() == 1) {
    ASSERT_TRUE(service_->WaitDownload(0, 20000));
    service_->CT(false, -1);
  }
  EXPECT_EQ(service_->DownloadCount(), 0u);
  EXPECT_EQ(Count(L"CT() - Waiting"), 0u);
}

}  // namespace
}  // namespace brisa::testing

namespace brisa::testing {
namespace {

TEST_F(DeviceWatchTest, TheRegistryGivesTheServicedIdsAndTheHostsMaker) {
  // A list with one good and one malformed entry, stored without its final NULs.
  const wchar_t ids[] = L"VID_1209&PID_00AA\0vid_12&pid_1";
  win32emu::SetRegistryValue(HKEY_LOCAL_MACHINE, kDeviceIdsKey, kDeviceIdsValue, REG_MULTI_SZ, ids,
                             sizeof ids - sizeof(wchar_t));
  const wchar_t maker[] = L"Simulated Systems";
  win32emu::SetRegistryValue(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\BIOS",
                             L"SystemManufacturer", REG_SZ, maker, sizeof maker);
  service_->Stop();  // Run applies the list, then ends at once
  service_->Run(0, nullptr);
  EXPECT_EQ(service_->DeviceIds(), (std::set<std::wstring>{L"vid_1209&pid_00aa"}));
  EXPECT_THAT(Log(), Contains(L"Run( \"Simulated Systems\", 1 ) "));
}

}  // namespace
}  // namespace brisa::testing
