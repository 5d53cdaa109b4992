// Downloads against the module emulator: the whole sequence through the service manager, and
// every failure path with its message and exit code.
#include <gmock/gmock.h>

#include <thread>

#include "download_fixture.h"
#include "service/options.h"
#include "win32emu/world.h"

namespace brisa::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

class DownloadSequenceTest : public DownloadTest {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    win32emu::SetTimeScale(20);  // time-outs of seconds pass in tens of milliseconds
    set_ = InstallSet(ImageFolder() + L"1\\", 600000, 7);
    defaults_ = InstallSet(L"C:\\defaults\\", 5000, 7);
    WriteOptions(defaults_.amss, defaults_.apps, defaults_.nvpk);
  }
  tarnsim::sModuleConfig Module() {
    tarnsim::sModuleConfig c;
    c.firmwareSet = 1;
    c.imageVersion = 7;
    c.chunkSize = 0x100000;
    return c;
  }
  sFirmware set_, defaults_;
};

TEST_F(DownloadSequenceTest, AWholeDownloadThroughTheServiceManager) {
  std::thread host;
  win32emu::SetInProcessServiceHost([&](const std::wstring& name) {
    host = std::thread([this, name] {
      win32emu::SetStartedAsService(name);
      service_->Connect();
    });
  });
  ASSERT_TRUE(service_->InstallService());
  ASSERT_TRUE(service_->StartInstalledService());
  auto module = AddModule(Module());
  ASSERT_TRUE(module->WaitLeft(60000));  // restarted after the done packet
  // The removal event closes the finished entry without waiting sweeps.
  for (int i = 0; i < 2000 && service_->DownloadCount(); ++i) Sleep(100);
  EXPECT_EQ(service_->DownloadCount(), 0u);
  ASSERT_TRUE(service_->StopInstalledService());
  host.join();

  auto images = module->Images();
  if (images.size() != 3u)
    for (auto& line : Log()) ADD_FAILURE() << "log: " << win32emu::Narrow(line);
  ASSERT_EQ(images.size(), 3u);
  const uint32_t sizes[] = {set_.amssSent, set_.appsSize, set_.nvpkSize};
  const uint64_t digests[] = {set_.amssDigest, set_.appsDigest, set_.nvpkDigest};
  const uint8_t types[] = {5, 6, 13};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(images[i].type, types[i]);
    EXPECT_EQ(images[i].announced, sizes[i]);
    EXPECT_TRUE(images[i].Complete());
    EXPECT_EQ(images[i].digest, digests[i]) << "image " << i;
  }
  EXPECT_EQ(module->OpenedFileName(), L"\\TarnService");

  const std::wstring port = L"[COM7\\TarnService, vid_1209&pid_0001#5&1a2b3c4d&0&1]";
  auto log = LogFrom(L"DeviceChange( ARRIVAL )");
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], L"DeviceChange( ARRIVAL ) - " + worldsim::InterfacePath(module->Identity()));
  auto watch = ThreadLog(L"PDA() - Attempting");
  auto attempt = std::vector<std::wstring>(
      std::find_if(watch.begin(), watch.end(),
                   [](auto& t) { return t.rfind(L"PDA() - Attempting", 0) == 0; }),
      watch.end());
  ASSERT_GE(attempt.size(), 5u);
  EXPECT_EQ(attempt[0], L"PDA() - Attempting to start download thread, " + port);
  EXPECT_EQ(attempt[1], L"AMSS Path = " + defaults_.amss);
  EXPECT_EQ(attempt[2], L"Apps Path = " + defaults_.apps);
  EXPECT_EQ(attempt[3], L"NVPK Path = " + defaults_.nvpk);
  EXPECT_THAT(attempt[4], HasSubstr(L"PDA() - Started download thread "));
  EXPECT_THAT(attempt[4], HasSubstr(port));

  // The download thread's own lines, in order (the service thread's lines left out).
  std::vector<std::wstring> sequence;
  for (auto& line : ThreadLog(L"Tarn protocol server request sent")) sequence.push_back(line);
  const std::wstring sent = L"Tarn protocol server request sent";
  const std::wstring got = L"Tarn protocol server response received";
  auto blocks = [](std::initializer_list<int> sizes) {
    std::vector<std::wstring> v;
    for (int s : sizes)
      v.push_back(L"Tarn protocol server sent " + std::to_wstring(s) + L" bytes of image");
    return v;
  };
  std::vector<std::wstring> expected = {sent, got, L"Tarn sending image file: " + set_.amss, sent,
                                        got};
  for (auto& b : blocks({262144, 262144, 75712})) expected.push_back(b);
  expected.insert(expected.end(), {sent, got, L"Sending image file: " + set_.apps, sent, got});
  for (auto& b : blocks({262144, static_cast<int>(set_.appsSize) - 262144})) expected.push_back(b);
  expected.insert(expected.end(), {sent, got, L"Sending image file: " + set_.nvpk, sent, got});
  for (auto& b : blocks({static_cast<int>(set_.nvpkSize)})) expected.push_back(b);
  // Nothing answers the done packet, and the module restarts: the client's wait, the server's
  // response timer or the line dropping while the packet goes out ends it first.
  using Tail = std::vector<std::wstring>;
  const Tail tails[] = {{sent, L"Tarn protocol server response timeout", L"Tarn download complete"},
                        {sent, L"Tarn protocol server response error", L"Tarn download complete"},
                        {L"Tarn protocol server request error", L"Tarn download complete"}};
  expected.insert(expected.end(), {sent, got});
  ASSERT_GT(sequence.size(), expected.size());
  Tail head(sequence.begin(), sequence.begin() + static_cast<std::ptrdiff_t>(expected.size()));
  Tail tail(sequence.begin() + static_cast<std::ptrdiff_t>(expected.size()), sequence.end());
  EXPECT_THAT(head, ElementsAreArray(expected));
  EXPECT_THAT(tails, Contains(tail));

  // Every packet is dumped: the hello request's header line and its 36 bytes on three lines.
  auto all = Log(true);
  auto hello = std::find(all.begin(), all.end(), sent);
  ASSERT_NE(hello, all.end());
  ASSERT_NE(hello + 1, all.end());
  EXPECT_EQ((hello + 1)->rfind(L"  ", 0), 0u);
  EXPECT_THAT(LogFrom(L"CT() - Closed download thread"), Contains(HasSubstr(L", 0]")));
  EXPECT_THAT(Log(),
              Contains(L"DeviceChange( REMOVE ) - " + worldsim::InterfacePath(module->Identity())));
}

struct FailureCase {
  const char* name;
  void (*configure)(tarnsim::sModuleConfig&);  // may be null
  std::vector<tarnsim::sFault> faults;
  const wchar_t* removeFile;  // an image taken away first, or null
  DWORD exitCode;
  std::vector<std::wstring> lines;  // appear in this order
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class DownloadFailureTest : public DownloadSequenceTest,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DownloadFailureTest, MessageAndExitCode) {
  const FailureCase& c = GetParam();
  tarnsim::sModuleConfig config = Module();
  if (c.configure) c.configure(config);
  if (c.removeFile) DeleteFileW(c.removeFile);
  auto module = AddModule(config);
  for (const auto& f : c.faults) module->AddFault(f);
  EXPECT_EQ(RunOneDownload(), c.exitCode);
  auto log = Log();
  auto at = log.begin();
  for (const std::wstring& line : c.lines) {
    at = std::find(at, log.end(), line);
    EXPECT_NE(at, log.end()) << "missing or out of order: " << win32emu::Narrow(line);
    if (at == log.end()) break;
  }
  if (HasFailure())
    for (auto& line : log) ADD_FAILURE() << "log: " << win32emu::Narrow(line);
}

std::wstring SetPath(const wchar_t* file) { return ImageFolder() + L"1\\" + file; }

using tarnsim::eFaultKind;
INSTANTIATE_TEST_SUITE_P(
    Paths, DownloadFailureTest,
    ::testing::Values(
        FailureCase{"NoHelloAnswer",
                    nullptr,
                    {{eFaultKind::Drop, 0x01}},
                    nullptr,
                    ERROR_CAN_NOT_COMPLETE,
                    {L"Tarn invalid hello response error"}},
        FailureCase{
            "SetNotFoundUsesDefaults",
            [](tarnsim::sModuleConfig& c) { c.firmwareSet = 9; },
            {},
            nullptr,
            0,
            {L"Tarn unable to find NVPK file: " + ImageFolder() + L"9\\NVPK.mbn (3)",
             L"Error locating configured firmware [9], proceding with default",
             L"Tarn sending image file: C:\\defaults\\AMSS.mbn", L"Tarn download complete"}},
        FailureCase{"MissingImage",
                    [](tarnsim::sModuleConfig& c) { c.firmwareSet = 0xFFFFFFFF; },
                    {},
                    L"C:\\defaults\\Apps.mbn",
                    ERROR_FILE_NOT_FOUND,
                    {L"Tarn unable to open apps file: C:\\defaults\\Apps.mbn (2)"}},
        FailureCase{"VersionMismatch",
                    [](tarnsim::sModuleConfig& c) { c.imageVersion = 8; },
                    {},
                    nullptr,
                    ERROR_REVISION_MISMATCH,
                    {L"Tarn version mismatch error (8/7)"}},
        FailureCase{
            "OpenRefused",
            [](tarnsim::sModuleConfig& c) { c.openStatus = 1; },
            {},
            nullptr,
            ERROR_CAN_NOT_COMPLETE,
            {L"Tarn invalid open unframed response error", L"Tarn error sending image file"}},
        FailureCase{"ChunkSizeZero",
                    [](tarnsim::sModuleConfig& c) { c.chunkSize = 0; },
                    {},
                    nullptr,
                    ERROR_CAN_NOT_COMPLETE,
                    {L"Tarn protocol packet allocation error", L"Tarn error sending image file"}},
        FailureCase{"WriteRefused",
                    [](tarnsim::sModuleConfig& c) { c.writeStatus = 5; },
                    {},
                    nullptr,
                    ERROR_CAN_NOT_COMPLETE,
                    {L"Tarn write unframed error response", L"Tarn error sending image file"}},
        FailureCase{"ErrorPacketMidTransfer",
                    nullptr,
                    {{eFaultKind::ErrorPacket, 0x27, 1, 0, 300000}},
                    nullptr,
                    ERROR_CAN_NOT_COMPLETE,
                    {L"Tarn protocol server request error", L"Tarn error sending image file"}},
        FailureCase{
            "ErrorPacketAnswersDone",
            [](tarnsim::sModuleConfig& c) { c.done = tarnsim::eDoneBehaviour::ErrorPacket; },
            {},
            nullptr,
            ERROR_REVISION_MISMATCH,
            {L"Tarn protocol error in response to done", L"Tarn download complete (with error)"}}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(DownloadSequenceTest, AmssTrailerAndLengthChecks) {
  // Marks 0x1234/0xFEDD: the values read are logged.
  InstallSet(ImageFolder() + L"1\\", 1000, 7, 0xFEDD);
  AddModule(Module());
  EXPECT_EQ(RunOneDownload(), static_cast<DWORD>(ERROR_CRC));
  EXPECT_THAT(Log(), Contains(L"Tarn invalid AMSS file [0x1234/0xFEDD]: " + SetPath(L"AMSS.mbn")));
}

TEST_F(DownloadSequenceTest, AnAmssOfEightBytesIsRefusedWithANonzeroCode) {
  std::string host = win32emu::HostPath(SetPath(L"AMSS.mbn"));
  FILE* f = fopen(host.c_str(), "wb");
  fwrite("\x34\x12\xDC\xFE\x07\x00\x00\x00", 1, 8, f);
  fclose(f);
  AddModule(Module());
  EXPECT_EQ(RunOneDownload(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_THAT(Log(),
              Contains(L"Tarn unable to open AMSS file: " + SetPath(L"AMSS.mbn") + L" (13)"));
}

TEST_F(DownloadSequenceTest, A1000ByteAmssIsAnnouncedAs992) {
  InstallSet(ImageFolder() + L"1\\", 992, 7);
  auto module = AddModule(Module());
  EXPECT_EQ(RunOneDownload(), 0u);
  ASSERT_FALSE(module->Images().empty());
  EXPECT_EQ(module->Images()[0].announced, 992u);
}

}  // namespace
}  // namespace brisa::testing
