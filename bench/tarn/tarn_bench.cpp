// Framing + CRC throughput for the smallest and largest Tarn packets: the table-driven CRC the
// service uses, a plain bit-at-a-time CRC, and Boost.CRC, all in one run.
#include <benchmark/benchmark.h>

#include <boost/crc.hpp>

#include <cstdint>
#include <random>
#include <vector>

#include "tarn/hdlc_frame.h"

namespace {

std::vector<uint8_t> Packet(size_t n) {
  std::mt19937 rng(42);
  std::vector<uint8_t> p(n);
  for (auto& b : p) b = static_cast<uint8_t>(rng());
  return p;
}

uint16_t BitwiseCrc(const uint8_t* data, size_t n) {
  uint16_t reg = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    reg ^= data[i];
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0x8408 : reg >> 1;
  }
  return static_cast<uint16_t>(~reg);
}

uint16_t BoostCrc(const uint8_t* data, size_t n) {
  boost::crc_optimal<16, 0x1021, 0xFFFF, 0xFFFF, true, true> crc;
  crc.process_bytes(data, n);
  return static_cast<uint16_t>(crc.checksum());
}

uint16_t TableCrc(const uint8_t* data, size_t n) { return brisa::HdlcCrcCompute(data, n); }

// The framing loop with a chosen CRC, so that only the CRC differs between the variants.
template <uint16_t (*Crc)(const uint8_t*, size_t)>
size_t FrameWith(const uint8_t* packet, size_t n, uint8_t* out) {
  uint8_t* p = out;
  auto put = [&p](uint8_t b) {
    if (b == 0x7E || b == 0x7D) {
      *p++ = 0x7D;
      *p++ = static_cast<uint8_t>(b ^ 0x20);
    } else {
      *p++ = b;
    }
  };
  *p++ = 0x7E;
  for (size_t i = 0; i < n; ++i) put(packet[i]);
  uint16_t fcs = Crc(packet, n);
  put(static_cast<uint8_t>(fcs));
  put(static_cast<uint8_t>(fcs >> 8));
  *p++ = 0x7E;
  return static_cast<size_t>(p - out);
}

template <uint16_t (*Crc)(const uint8_t*, size_t)>
void BM_Crc(benchmark::State& state) {
  auto packet = Packet(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Crc(packet.data(), packet.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

template <uint16_t (*Crc)(const uint8_t*, size_t)>
void BM_Frame(benchmark::State& state) {
  auto packet = Packet(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(brisa::HdlcFramedBound(packet.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(FrameWith<Crc>(packet.data(), packet.size(), out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The service's own framing routine.
void BM_HdlcFrame(benchmark::State& state) {
  auto packet = Packet(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(brisa::HdlcFramedBound(packet.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(brisa::HdlcFrame(packet.data(), packet.size(), out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Receiving: reassembly and the residue check of one framed packet.
void BM_Reassemble(benchmark::State& state) {
  auto packet = Packet(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> framed(brisa::HdlcFramedBound(packet.size()));
  framed.resize(brisa::HdlcFrame(packet.data(), packet.size(), framed.data()));
  brisa::cHDLCReassembler rx(framed.size());
  size_t delivered = 0;
  for (auto _ : state) {
    rx.Feed(framed.data(), framed.size(), [&](const uint8_t*, size_t n) { delivered += n; });
  }
  if (delivered != packet.size() * state.iterations()) state.SkipWithError("packet lost");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Crc<TableCrc>)->Name("Crc/table")->Arg(64)->Arg(16640);
BENCHMARK(BM_Crc<BitwiseCrc>)->Name("Crc/bitwise")->Arg(64)->Arg(16640);
BENCHMARK(BM_Crc<BoostCrc>)->Name("Crc/boost")->Arg(64)->Arg(16640);
BENCHMARK(BM_HdlcFrame)->Name("Frame/HdlcFrame")->Arg(64)->Arg(16640);
BENCHMARK(BM_Frame<TableCrc>)->Name("Frame/table")->Arg(64)->Arg(16640);
BENCHMARK(BM_Frame<BitwiseCrc>)->Name("Frame/bitwise")->Arg(64)->Arg(16640);
BENCHMARK(BM_Frame<BoostCrc>)->Name("Frame/boost")->Arg(64)->Arg(16640);
BENCHMARK(BM_Reassemble)->Name("Reassemble")->Arg(64)->Arg(16640);

}  // namespace

BENCHMARK_MAIN();
