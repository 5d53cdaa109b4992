// tarn_module: the module emulator serving a pseudo-terminal (whose slave path it prints on the
// first line of its output) or a given tty, so that a download can run across two processes or
// against a real serial line. It exits when the module restarts after the done packet, when a
// scripted disconnect drops the line, or on SIGINT/SIGTERM, and prints what it received. While it
// runs it prints one line each time it takes the line back after refusing a chunk mid-transfer.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "sim/tarn/tarn_module.h"

namespace {

using Clock = std::chrono::steady_clock;

// When the module refuses a chunk whose data are still arriving, it holds the line: it stops
// taking data until the host has purged its output. In-process that is a stall of the port and
// the purge is seen. Across a pseudo-terminal or a line without hardware flow control neither
// exists, so the program does what a module's receiver with a character time-out does. It stops
// reading for kHoldOff: the terminal's buffer fills and the host's write stalls, so that the host
// reads the error packet while the chunk is still being written, and purges the rest. Then it
// reads and throws away what was already on its way until the line has been quiet for
// kHoldQuiet, and parses afresh. A host gives up the chunk and pauses before its next request
// (the service ends the download; the next one connects anew); a request sent before the line
// is taken back is lost with the chunk and ends by its time-out.
constexpr std::chrono::milliseconds kHoldOff{200};
constexpr std::chrono::milliseconds kHoldQuiet{100};

volatile sig_atomic_t stopRequested = 0;
void OnSignal(int) { stopRequested = 1; }

void Usage() {
  std::fprintf(stderr,
               "usage: tarn_module [--tty PATH] [--baud N] [--firmware N] [--version N]\n"
               "                   [--open-status N] [--chunk-size N] [--write-status N]\n"
               "                   [--done leave|error] [--fault KIND:REQ[:NTH[:VALUE]]]...\n"
               "  Without --tty a pseudo-terminal is created and its slave path printed.\n"
               "  Fault kinds: drop delay corrupt error silence disconnect; REQ is a request\n"
               "  code (0x01 0x25 0x27 0x29, 0 = any), NTH the n-th such request (0 = every),\n"
               "  VALUE the delay in ms (delay) or the chunk bytes before the fault (error,\n"
               "  disconnect on 0x27).\n");
}

bool Number(const char* text, unsigned long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 0);
  return errno == 0 && end != text && *end == 0;
}

speed_t BaudConstant(unsigned long baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return B0;
  }
}

bool MakeRaw(int fd, speed_t speed) {
  termios t;
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (speed != B0) {
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
  }
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, 100);
        continue;
      }
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void Report(const tarnsim::cTarnModule& module, const char* ending) {
  for (const auto& r : module.Images()) {
    std::printf("image type=%u announced=%u received=%" PRIu64 " chunks=%u fnv64=%016" PRIx64
                " %s\n",
                r.type, r.announced, r.received, r.chunks, r.digest,
                r.Complete() ? "complete" : "incomplete");
  }
  const auto& s = module.Stats();
  std::printf(
      "stats hellos=%u opens=%u chunks=%u rejected=%u dones=%u bad_frames=%u "
      "bad_headers=%u unknown=%u stray=%" PRIu64 "\n",
      s.hellos, s.opens, s.chunksAccepted, s.chunksRejected, s.dones, s.badFrames, s.badHeaders,
      s.unknown, s.strayBytes);
  std::printf("end %s\n", ending);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  tarnsim::sModuleConfig config;
  tarnsim::cTarnModule module;
  std::string tty;
  unsigned long baud = 115200;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long n = 0;
    auto numeric = [&](unsigned long max) {
      if (value == nullptr || !Number(value, n) || n > max) {
        std::fprintf(stderr, "tarn_module: bad value for %s\n", arg.c_str());
        std::exit(2);
      }
      ++i;
      return n;
    };
    if (arg == "--tty" && value) {
      tty = value;
      ++i;
    } else if (arg == "--baud") {
      baud = numeric(4000000);
    } else if (arg == "--firmware") {
      config.firmwareSet = static_cast<uint32_t>(numeric(0xFFFFFFFFul));
    } else if (arg == "--version") {
      config.imageVersion = static_cast<uint16_t>(numeric(0xFFFF));
    } else if (arg == "--open-status") {
      config.openStatus = static_cast<uint16_t>(numeric(0xFFFF));
    } else if (arg == "--chunk-size") {
      config.chunkSize = static_cast<uint32_t>(numeric(0xFFFFFFFFul));
    } else if (arg == "--write-status") {
      config.writeStatus = static_cast<uint16_t>(numeric(0xFFFF));
    } else if (arg == "--done" && value) {
      std::string v = value;
      ++i;
      if (v == "leave") {
        config.done = tarnsim::eDoneBehaviour::Leave;
      } else if (v == "error") {
        config.done = tarnsim::eDoneBehaviour::ErrorPacket;
      } else {
        Usage();
        return 2;
      }
    } else if (arg == "--fault" && value) {
      tarnsim::sFault f;
      if (!tarnsim::ParseFault(value, f)) {
        std::fprintf(stderr, "tarn_module: bad fault %s\n", value);
        return 2;
      }
      module.AddFault(f);
      ++i;
    } else {
      Usage();
      return 2;
    }
  }
  module.Config() = config;

  int fd = -1;
  int holdSlave = -1;
  if (tty.empty()) {
    fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
      std::perror("tarn_module: pseudo-terminal");
      return 1;
    }
    std::string slave = ptsname(fd);
    // Held open so that the master does not see a hang-up before the host opens the slave, or
    // between two opens; never read.
    holdSlave = open(slave.c_str(), O_RDWR | O_NOCTTY);
    if (holdSlave < 0 || !MakeRaw(holdSlave, BaudConstant(baud))) {
      std::perror("tarn_module: slave");
      return 1;
    }
    std::printf("%s\n", slave.c_str());
  } else {
    fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || !MakeRaw(fd, BaudConstant(baud))) {
      std::perror("tarn_module: tty");
      return 1;
    }
    std::printf("%s\n", tty.c_str());
  }
  std::fflush(stdout);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  struct sPending {
    Clock::time_point due;
    tarnsim::sAction action;
  };
  std::deque<sPending> pending;  // in order of arrival; a later action never overtakes
  enum class eHold { None, Off, Draining } hold = eHold::None;
  Clock::time_point holdEnd;  // Off: end of the hold-off; Draining: end of the quiet time
  uint64_t discarded = 0;     // bytes thrown away while draining
  const char* ending = "stopped";
  static uint8_t buffer[65536];
  bool running = true;
  while (running && !stopRequested) {
    Clock::time_point wake = Clock::time_point::max();
    if (!pending.empty()) wake = pending.front().due;
    if (hold != eHold::None && holdEnd < wake) wake = holdEnd;
    int timeout = -1;
    if (wake != Clock::time_point::max()) {
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now());
      timeout = wait.count() < 0 ? 0 : static_cast<int>(wait.count());
    }
    pollfd pfd{fd, static_cast<short>(hold == eHold::Off ? 0 : POLLIN), 0};
    int ready = poll(&pfd, 1, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && (pfd.revents & POLLIN)) {
      ssize_t n = read(fd, buffer, sizeof(buffer));
      if (n > 0) {
        Clock::time_point now = Clock::now();
        if (hold == eHold::Draining) {
          discarded += static_cast<uint64_t>(n);
          holdEnd = now + kHoldQuiet;
        } else {
          for (auto& a : module.Receive(buffer, static_cast<size_t>(n))) {
            if (a.holdLine && hold == eHold::None) {
              hold = eHold::Off;
              holdEnd = now + kHoldOff;
              discarded = 0;
            }
            Clock::time_point due = now + std::chrono::milliseconds(a.delayMs);
            if (!pending.empty() && due < pending.back().due) due = pending.back().due;
            pending.push_back({due, std::move(a)});
          }
        }
      } else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
        break;
      }
    } else if (ready > 0 && (pfd.revents & (POLLHUP | POLLERR)) && holdSlave < 0) {
      ending = "hangup";
      break;
    }
    if (hold != eHold::None && Clock::now() >= holdEnd) {
      if (hold == eHold::Off) {
        hold = eHold::Draining;
        holdEnd = Clock::now() + kHoldQuiet;
      } else {
        hold = eHold::None;
        module.ResetLine();
        std::printf("resumed discarded=%" PRIu64 "\n", discarded);
        std::fflush(stdout);
      }
    }
    while (!pending.empty() && pending.front().due <= Clock::now()) {
      tarnsim::sAction a = std::move(pending.front().action);
      pending.pop_front();
      if (a.kind == tarnsim::sAction::eKind::Send) {
        if (!WriteAll(fd, a.bytes.data(), a.bytes.size())) {
          ending = "write-failed";
          running = false;
          break;
        }
      } else {
        // A restart or a dropped line: the port goes away with this process.
        ending = a.kind == tarnsim::sAction::eKind::Leave ? "left" : "disconnected";
        running = false;
        break;
      }
    }
  }
  if (holdSlave >= 0) close(holdSlave);
  close(fd);
  Report(module, ending);
  return 0;
}
