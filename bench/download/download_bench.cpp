// End-to-end download throughput: the service's download sequence (protocol server, framing,
// overlapped port I/O of the emulation) sending three images of 65 MiB in all to tarn_module
// processes on pseudo-terminals, against a plain write loop of the same bytes into the same kind
// of pseudo-terminal read by another process. Both run here, in the same run, for 1 and 8
// modules at once; the ratios are what matters. CPU seconds include the child processes.
//   download_bench [--benchmark_filter=...]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tarn/download_sequence.h"
#include "tarn/tarn_protocol_server.h"
#include "win32emu/ports.h"
#include "win32emu/world.h"

namespace {

constexpr uint32_t kAmss = 30 * 1048576 + 12345, kApps = 20 * 1048576 + 777,
                   kNvpk = 15 * 1048576 + 4321;

struct sWorld {
  std::wstring amss = L"C:\\bench\\AMSS.mbn", apps = L"C:\\bench\\Apps.mbn",
               nvpk = L"C:\\bench\\NVPK.mbn";
  std::vector<uint8_t> bytes;  // the three images' bytes as sent, for the raw copy
  sWorld() {
    win32emu::MakeTemporaryWorld();
    std::filesystem::create_directories(win32emu::HostPath(L"C:\\bench"));
    auto make = [this](const std::wstring& path, size_t size, bool trailer) {
      std::vector<uint8_t> b(size);
      uint32_t x = static_cast<uint32_t>(size);
      for (auto& c : b) c = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
      if (trailer) {
        const uint8_t t[8] = {0x34, 0x12, 0xDC, 0xFE, 7, 0, 0, 0};
        memcpy(b.data() + size - 8, t, 8);
      }
      std::ofstream(win32emu::HostPath(path), std::ios::binary)
          .write(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
      bytes.insert(bytes.end(), b.begin(), b.end() - (trailer ? 8 : 0));
    };
    make(amss, kAmss + 8, true);
    make(apps, kApps, false);
    make(nvpk, kNvpk, false);
  }
};
sWorld& World() {
  static sWorld world;
  return world;
}

double CpuSeconds() {
  rusage self{}, children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  auto s = [](const rusage& r) {
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
  };
  return s(self) + s(children);
}

// A tarn_module process on a new pseudo-terminal; returns its pid and the slave path.
pid_t StartModule(std::string* slave) {
  int out[2];
  if (pipe(out) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execl(TARN_MODULE_PROGRAM, TARN_MODULE_PROGRAM, "--version", "7", nullptr);
    _exit(127);
  }
  close(out[1]);
  char line[256] = {};
  ssize_t n = read(out[0], line, sizeof line - 1);
  close(out[0]);
  if (n <= 0) return -1;
  line[strcspn(line, "\n")] = 0;
  *slave = line;
  return pid;
}

void BM_Download(benchmark::State& state) {
  sWorld& w = World();
  int modules = static_cast<int>(state.range(0));
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<pid_t> pids;
    std::vector<brisa::cTarnProtocolServer*> servers;
    std::vector<HANDLE> threads;
    for (int i = 0; i < modules; ++i) {
      std::string slave;
      pids.push_back(StartModule(&slave));
      std::wstring port = L"COM" + std::to_wstring(20 + i);
      win32emu::BindPortToDevice(port, slave);
      auto* server = new brisa::cTarnProtocolServer();
      server->Initialize();
      if (!server->ConnectPort((port + L"\\TarnService").c_str())) state.SkipWithError("connect");
      servers.push_back(server);
    }
    double before = CpuSeconds();
    state.ResumeTiming();
    for (int i = 0; i < modules; ++i) {
      auto* job = new brisa::sDownloadJob;
      job->device.server = servers[static_cast<size_t>(i)];
      job->device.connectKey = L"COM\\TarnService";
      job->amssPath = w.amss;
      job->appsPath = w.apps;
      job->nvpkPath = w.nvpk;
      threads.push_back(CreateThread(nullptr, 0, brisa::DownloadThread, job, 0, nullptr));
    }
    for (HANDLE t : threads) {
      WaitForSingleObject(t, INFINITE);
      DWORD code = 1;
      GetExitCodeThread(t, &code);
      if (code != 0) state.SkipWithError("download failed");
      CloseHandle(t);
    }
    for (pid_t p : pids) waitpid(p, nullptr, 0);
    state.PauseTiming();
    cpu += CpuSeconds() - before;
    for (auto* s : servers) {
      s->StopWorker();
      delete s;
    }
    state.ResumeTiming();
  }
  state.counters["cpu_s"] = benchmark::Counter(cpu / static_cast<double>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * modules *
                          static_cast<int64_t>(w.bytes.size()));
}

void BM_RawPty(benchmark::State& state) {
  sWorld& w = World();
  int modules = static_cast<int>(state.range(0));
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<pid_t> readers;
    std::vector<int> slaves;
    for (int i = 0; i < modules; ++i) {
      win32emu::PtyPair pty;
      win32emu::OpenPtyPair(&pty);
      int slave = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
      termios t;
      tcgetattr(slave, &t);
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
      pid_t pid = fork();
      if (pid == 0) {
        int flags = fcntl(pty.master, F_GETFL);
        fcntl(pty.master, F_SETFL, flags & ~O_NONBLOCK);
        static uint8_t buffer[65536];
        size_t total = 0;
        while (total < w.bytes.size()) {
          ssize_t n = read(pty.master, buffer, sizeof buffer);
          if (n <= 0) break;
          total += static_cast<size_t>(n);
        }
        _exit(0);
      }
      close(pty.master);
      readers.push_back(pid);
      slaves.push_back(slave);
    }
    double before = CpuSeconds();
    state.ResumeTiming();
    std::vector<std::thread> writers;
    for (int fd : slaves)
      writers.emplace_back([fd, &w] {
        for (size_t done = 0; done < w.bytes.size();) {
          size_t n = std::min<size_t>(262144, w.bytes.size() - done);
          ssize_t k = write(fd, w.bytes.data() + done, n);
          if (k <= 0) break;
          done += static_cast<size_t>(k);
        }
      });
    for (auto& t : writers) t.join();
    for (pid_t p : readers) waitpid(p, nullptr, 0);
    state.PauseTiming();
    cpu += CpuSeconds() - before;
    for (int fd : slaves) close(fd);
    state.ResumeTiming();
  }
  state.counters["cpu_s"] = benchmark::Counter(cpu / static_cast<double>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * modules *
                          static_cast<int64_t>(w.bytes.size()));
}

BENCHMARK(BM_RawPty)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Download)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
