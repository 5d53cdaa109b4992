// brisa_world_demo: the service's whole job in the simulated world, with every program in a
// process of its own. Emulated modules (tarn_module on pseudo-terminals) arrive in download
// mode; brisa is installed and started through the world's service manager, finds them, sends
// each its three images and the done packet; the modules restart and leave; the service is
// stopped and uninstalled. Progress is read from the service log as the service writes it.
//
//   brisa_world_demo BUILD_DIR [MODULES]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sim/tarn/tarn_module.h"
#include "sim/world/module_world.h"
#include "win32emu/ports.h"
#include "win32emu/world.h"

namespace fs = std::filesystem;
using win32emu::Narrow;
using win32emu::Widen;

namespace {

struct sImage {
  const char* name;  // AMSS, Apps, NVPK
  uint64_t sent;     // bytes the module should receive
  uint64_t digest;
};

struct sModule {
  worldsim::sModuleIdentity id;
  pid_t pid = -1;
  FILE* output = nullptr;
  bool left = false;
  std::string report;
  DWORD thread = 0;  // the download thread's id in the service log
  int image = -1;
  uint64_t imageBytes = 0;
  int lastTenth = -1;
  bool closed = false;
  std::string exitCode;
};

int Run(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Writes `size` bytes of a deterministic pattern; returns the digest of the first `digested`.
uint64_t MakeImage(const std::string& path, size_t size, uint32_t seed, size_t digested,
                   const uint8_t* tail = nullptr, size_t tailSize = 0) {
  fs::create_directories(fs::path(path).parent_path());
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  if (tail) memcpy(bytes.data() + size - tailSize, tail, tailSize);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<char*>(bytes.data()), size);
  return tarnsim::Fnv1a64(bytes.data(), digested);
}

std::string Utf16File(const std::wstring& text) {
  std::string out = "\xFF\xFE";
  for (wchar_t c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>((c >> 8) & 0xFF);
  }
  return out;
}

// Follows the service log: returns the complete lines added since the last call.
class cLogFollower {
 public:
  explicit cLogFollower(std::string path) : path_(std::move(path)) {}
  std::vector<std::wstring> NewLines() {
    std::vector<std::wstring> lines;
    std::ifstream in(path_, std::ios::binary);
    if (!in) return lines;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < offset_) offset_ = 0;  // a new run truncated it
    if (offset_ == 0) offset_ = 2;    // the byte-order mark
    if (size <= offset_) return lines;
    in.seekg(offset_);
    std::string bytes(static_cast<size_t>(size - offset_), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    offset_ += static_cast<std::streamoff>(bytes.size() & ~size_t(1));
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      wchar_t c = static_cast<wchar_t>(static_cast<uint8_t>(bytes[i]) |
                                       (static_cast<uint8_t>(bytes[i + 1]) << 8));
      if (c == L'\n') {
        if (!partial_.empty() && partial_.back() == L'\r') partial_.pop_back();
        lines.push_back(partial_);
        partial_.clear();
      } else {
        partial_ += c;
      }
    }
    return lines;
  }

 private:
  std::string path_;
  std::streamoff offset_ = 0;
  std::wstring partial_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: brisa_world_demo BUILD_DIR [MODULES]\n");
    return 2;
  }
  std::string build = fs::absolute(argv[1]).string();
  int count = argc > 2 ? std::max(1, std::min(8, atoi(argv[2]))) : 2;
  signal(SIGPIPE, SIG_IGN);

  std::string world = win32emu::WorldRoot();
  printf("== the world: %s\n", world.c_str());
  std::string drive = world + "/drive_c";
  std::string programDir = drive + "/Program Files/Nortane";
  std::string dataDir = drive + "/ProgramData/Nortane";
  fs::create_directories(programDir);
  fs::create_directories(dataDir + "/Brisa");
  fs::copy_file(build + "/service/brisa", programDir + "/brisa",
                fs::copy_options::overwrite_existing);
  std::string brisa = programDir + "/brisa";

  // Firmware set 1 with an AMSS of version 7, in sizes that are multiples of neither the chunk
  // size nor the 262144-byte block.
  const uint16_t version = 7;
  uint8_t trailer[8] = {0x34, 0x12, 0xDC, 0xFE, version, 0, 0, 0};
  std::string set = programDir + "/Images/Oristo/1/";
  std::vector<sImage> images = {
      {"AMSS", 5000017, MakeImage(set + "AMSS.mbn", 5000017 + 8, 1, 5000017, trailer, 8)},
      {"Apps", 3141593, MakeImage(set + "Apps.mbn", 3141593, 2, 3141593)},
      {"NVPK", 1234567, MakeImage(set + "NVPK.mbn", 1234567, 3, 1234567)}};
  std::ofstream(dataDir + "/Brisa/Options2kOristo.txt", std::ios::binary) << Utf16File(
      L"C:\\Program Files\\Nortane\\Images\\Oristo\\1\\AMSS.mbn\r\n"
      L"C:\\Program Files\\Nortane\\Images\\Oristo\\1\\Apps.mbn\r\n"
      L"C:\\Program Files\\Nortane\\Images\\Oristo\\1\\NVPK.mbn\r\n");
  std::string logPath = dataDir + "/Brisa/BrisaOristo.txt";

  // The host's maker, as its firmware would report it to the system.
  const std::wstring maker = L"Simulated Systems";
  win32emu::SetRegistryValue(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\BIOS",
                             L"SystemManufacturer", REG_SZ, maker.c_str(),
                             static_cast<DWORD>((maker.size() + 1) * sizeof(wchar_t)));

  printf("== brisa -i, brisa -s\n");
  Run({brisa, "-u"});  // a service left over from an interrupted run
  Run({brisa, "-i"});
  Run({brisa, "-s"});

  std::vector<sModule> modules(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    sModule& m = modules[static_cast<size_t>(i)];
    m.id.portName = L"COM" + std::to_wstring(7 + i);
    m.id.instance = L"5&2c6b1f0&0&" + std::to_wstring(i + 1);
    m.id.deviceId = i % 2 ? L"vid_1209&pid_0002" : L"vid_1209&pid_0001";
    int out[2];
    if (pipe(out) != 0) return 1;
    m.pid = fork();
    if (m.pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::string tool = build + "/sim/tarn/tarn_module";
      execl(tool.c_str(), tool.c_str(), "--firmware", "1", "--version", "7", nullptr);
      _exit(127);
    }
    close(out[1]);
    m.output = fdopen(out[0], "r");
    char slave[256] = {};
    if (!fgets(slave, sizeof slave, m.output)) return 1;
    slave[strcspn(slave, "\n")] = 0;
    win32emu::BindPortToDevice(m.id.portName, slave);
    worldsim::PlugModule(m.id);
    printf("== module %d arrives: %s on %s (%s)\n", i + 1, Narrow(m.id.deviceId).c_str(),
           Narrow(m.id.portName).c_str(), slave);
  }

  cLogFollower follower(logPath);
  std::wregex started(
      LR"(\[(\d+)\] PDA\(\) - Started download thread \d+ \((\d+)\), \[(COM\d+)\\)");
  std::wregex closed(LR"(CT\(\) - Closed download thread \d+, \[(COM\d+)\\.*, (\d+)\]$)");
  std::wregex tid(LR"(\[(\d+)\] )");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  size_t done = 0;
  while (done < modules.size() && std::chrono::steady_clock::now() < deadline) {
    for (const std::wstring& line : follower.NewLines()) {
      std::wsmatch match;
      if (std::regex_search(line, match, started)) {
        for (auto& m : modules)
          if (m.id.portName == match[3].str()) m.thread = static_cast<DWORD>(std::stoul(match[2]));
        continue;
      }
      if (std::regex_search(line, match, closed)) {
        for (auto& m : modules)
          if (m.id.portName == match[1].str() && !m.closed) {
            m.closed = true;
            m.exitCode = Narrow(match[2].str());
            ++done;
            printf("%s: download thread closed, exit code %s\n", Narrow(m.id.portName).c_str(),
                   m.exitCode.c_str());
          }
        continue;
      }
      if (!std::regex_search(line, match, tid)) continue;
      DWORD thread = static_cast<DWORD>(std::stoul(match[1]));
      for (auto& m : modules) {
        if (m.thread != thread) continue;
        const char* port = nullptr;
        std::string p = Narrow(m.id.portName);
        port = p.c_str();
        if (line.find(L"ending image file: ") != std::wstring::npos) {
          ++m.image;
          m.imageBytes = 0;
          m.lastTenth = -1;
        } else if (auto at = line.find(L"Tarn protocol server sent ");
                   at != std::wstring::npos && m.image >= 0 && m.image < 3) {
          m.imageBytes += std::stoull(line.substr(at + 26));
          const sImage& img = images[static_cast<size_t>(m.image)];
          int tenth = static_cast<int>(m.imageBytes * 10 / img.sent);
          if (tenth != m.lastTenth) {
            m.lastTenth = tenth;
            printf("%s: %-4s %3d%%  %9" PRIu64 " of %" PRIu64 " bytes\n", port, img.name,
                   static_cast<int>(m.imageBytes * 100 / img.sent), m.imageBytes, img.sent);
          }
        } else if (line.find(L"Tarn download complete") != std::wstring::npos) {
          printf("%s: %s\n", port, Narrow(line.substr(line.find(L"Tarn download"))).c_str());
        }
      }
    }
    // A module that restarted has left: its port and interface go, and the service is told.
    for (auto& m : modules) {
      if (m.left) continue;
      int status;
      if (waitpid(m.pid, &status, WNOHANG) != m.pid) continue;
      m.left = true;
      char buffer[512];
      while (fgets(buffer, sizeof buffer, m.output)) m.report += buffer;
      fclose(m.output);
      worldsim::UnplugModule(m.id);
      printf("%s: the module restarted and left\n", Narrow(m.id.portName).c_str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  printf("== brisa -e, brisa -u\n");
  Run({brisa, "-e"});
  Run({brisa, "-u"});
  for (auto& m : modules)
    if (!m.left) {
      kill(m.pid, SIGTERM);
      waitpid(m.pid, nullptr, 0);
    }

  printf("== result\n");
  bool ok = done == modules.size();
  for (auto& m : modules) {
    int intact = 0;
    for (auto& img : images) {
      char expect[128];
      snprintf(expect, sizeof expect, "received=%" PRIu64 " ", img.sent);
      char digest[64];
      snprintf(digest, sizeof digest, "fnv64=%016" PRIx64 " complete", img.digest);
      if (m.report.find(expect) != std::string::npos && m.report.find(digest) != std::string::npos)
        ++intact;
    }
    bool good = m.exitCode == "0" && intact == 3;
    ok = ok && good;
    printf("%s (%s#%s): exit code %s, %d of 3 images arrived intact\n",
           Narrow(m.id.portName).c_str(), Narrow(m.id.deviceId).c_str(),
           Narrow(m.id.instance).c_str(), m.exitCode.empty() ? "none" : m.exitCode.c_str(), intact);
  }
  printf("service log: C:\\ProgramData\\Nortane\\Brisa\\BrisaOristo.txt\n  (%s)\n",
         logPath.c_str());
  return ok ? 0 : 1;
}
