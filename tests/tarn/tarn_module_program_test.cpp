// The emulator program on a pseudo-terminal, driven across processes with the host's framing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/tarn/tarn_module.h"
#include "tests/tarn/module_process.h"
#include "tarn/hdlc_frame.h"
#include "tarn/tarn_packets.h"

#ifdef TARN_MODULE_PROGRAM

namespace {

using Bytes = std::vector<uint8_t>;

class cLine {
 public:
  explicit cLine(const std::string& path) {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t;
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
    }
  }
  ~cLine() {
    if (fd >= 0) close(fd);
  }
  void Write(const Bytes& b) {
    size_t at = 0;
    while (at < b.size()) {
      ssize_t n = write(fd, b.data() + at, b.size() - at);
      ASSERT_GT(n, 0);
      at += static_cast<size_t>(n);
    }
  }
  // The next packet from the module, or nothing within `ms`.
  Bytes Next(int ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (packets.empty()) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      if (left <= 0) return {};
      pollfd pfd{fd, POLLIN, 0};
      if (poll(&pfd, 1, left) <= 0 || !(pfd.revents & POLLIN)) return {};
      uint8_t buf[512];
      ssize_t n = read(fd, buf, sizeof(buf));
      if (n <= 0) return {};
      rx.Feed(buf, static_cast<size_t>(n),
              [&](const uint8_t* p, size_t len) { packets.emplace_back(p, p + len); });
    }
    Bytes p = packets.front();
    packets.erase(packets.begin());
    return p;
  }
  int fd = -1;

 private:
  brisa::cHDLCReassembler rx;
  std::vector<Bytes> packets;
};

Bytes Framed(const uint8_t* p, size_t n) {
  Bytes out(brisa::HdlcFramedBound(n));
  out.resize(brisa::HdlcFrame(p, n, out.data()));
  return out;
}

TEST(TarnModuleProgram, DownloadOverAPseudoTerminal) {
  cModuleProcess module({"--firmware", "7", "--version", "0x0203", "--chunk-size", "3000"});
  ASSERT_FALSE(module.slavePath.empty());
  cLine line(module.slavePath);
  ASSERT_GE(line.fd, 0);

  uint8_t hello[brisa::kTarnHelloRequestSize];
  brisa::TarnHelloRequestBytes(hello);
  line.Write(Framed(hello, sizeof(hello)));
  Bytes r = line.Next();
  ASSERT_EQ(r.size(), 49u);
  EXPECT_EQ(brisa::TarnGetLe32(&r[25]), 7u);
  EXPECT_EQ(brisa::TarnGetLe16(&r[29]), 0x0203);

  Bytes image(7000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 37 + (i >> 8));
  uint8_t open[brisa::kTarnOpenUnframedRequestSize];
  ASSERT_TRUE(brisa::TarnOpenUnframedBytes(brisa::kTarnImageNvpk, 7000, open));
  line.Write(Framed(open, sizeof(open)));
  r = line.Next();
  ASSERT_EQ(r.size(), 8u);
  uint32_t chunk = brisa::TarnGetLe32(&r[4]);
  ASSERT_EQ(chunk, 3000u);
  brisa::sTarnChunkPlan plan;
  ASSERT_TRUE(brisa::TarnPlanChunks(7000, chunk, plan));
  for (uint32_t i = 0; i < plan.count; ++i) {
    uint32_t length = i + 1 == plan.count ? plan.lastLength : chunk;
    uint8_t h[brisa::kTarnWriteUnframedHeaderSize];
    ASSERT_TRUE(brisa::TarnWriteUnframedHeaderBytes(length, static_cast<uint16_t>(i), h));
    Bytes raw(h, h + sizeof(h));
    raw.insert(raw.end(), image.begin() + i * chunk, image.begin() + i * chunk + length);
    line.Write(raw);
    r = line.Next();
    ASSERT_EQ(r.size(), 9u);
    EXPECT_EQ(brisa::TarnGetLe16(&r[7]), 0) << i;
  }
  const uint8_t done[1] = {brisa::kTarnDoneRequest};
  line.Write(Framed(done, 1));

  std::string report = module.Finish();
  char digest[32];
  std::snprintf(digest, sizeof(digest), "%016" PRIx64,
                tarnsim::Fnv1a64(image.data(), image.size()));
  EXPECT_NE(report.find("image type=13 announced=7000 received=7000 chunks=3 fnv64=" +
                        std::string(digest) + " complete"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("end left"), std::string::npos) << report;
  EXPECT_TRUE(line.Next(200).empty()) << "the restarted module does not answer";
}

TEST(TarnModuleProgram, ScriptedDelayAndDisconnect) {
  cModuleProcess module({"--fault", "delay:0x01:1:300", "--fault", "disconnect:0x25"});
  cLine line(module.slavePath);
  ASSERT_GE(line.fd, 0);
  uint8_t hello[brisa::kTarnHelloRequestSize];
  brisa::TarnHelloRequestBytes(hello);
  auto start = std::chrono::steady_clock::now();
  line.Write(Framed(hello, sizeof(hello)));
  EXPECT_TRUE(line.Next(100).empty()) << "the answer is held back";
  Bytes r = line.Next();
  EXPECT_EQ(r.size(), 49u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

  uint8_t open[brisa::kTarnOpenUnframedRequestSize];
  ASSERT_TRUE(brisa::TarnOpenUnframedBytes(brisa::kTarnImageAmss, 10, open));
  line.Write(Framed(open, sizeof(open)));
  std::string report = module.Finish();
  EXPECT_NE(report.find("end disconnected"), std::string::npos) << report;
}

}  // namespace

#endif
