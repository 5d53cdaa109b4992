#include "sim/tarn/tarn_module.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tarnsim {

namespace {

constexpr uint8_t kFlag = 0x7E, kEscape = 0x7D;
constexpr size_t kMaxFrame = 16640 + 2;  // the largest packet and its FCS; longer is garbage
constexpr uint32_t kMaxChunk = 0x04000000;

// Status values the module puts in a write-unframed response when it refuses a chunk.
constexpr uint16_t kWriteNoImage = 0x10, kWriteBadSequence = 0x11, kWriteBadLength = 0x12;
// Codes carried in the module's error packets (after the 0x0D).
constexpr uint32_t kErrorUnknownPacket = 1, kErrorBadLength = 2, kErrorBadHeader = 3,
                   kErrorScripted = 4, kErrorDone = 5;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void PutStuffed(std::vector<uint8_t>& out, uint8_t b) {
  if (b == kFlag || b == kEscape) {
    out.push_back(kEscape);
    out.push_back(static_cast<uint8_t>(b ^ 0x20));
  } else {
    out.push_back(b);
  }
}
std::vector<uint8_t> FrameWithFcs(const std::vector<uint8_t>& packet, uint16_t fcs) {
  std::vector<uint8_t> out;
  out.reserve(packet.size() * 2 + 6);
  out.push_back(kFlag);
  for (uint8_t b : packet) PutStuffed(out, b);
  PutStuffed(out, static_cast<uint8_t>(fcs));
  PutStuffed(out, static_cast<uint8_t>(fcs >> 8));
  out.push_back(kFlag);
  return out;
}

}  // namespace

uint64_t Fnv1a64(const uint8_t* data, size_t length, uint64_t state) {
  for (size_t i = 0; i < length; ++i) {
    state ^= data[i];
    state *= 0x100000001b3ull;
  }
  return state;
}

uint16_t Crc16X25(const uint8_t* data, size_t length) {
  uint16_t reg = 0xFFFF;
  for (size_t i = 0; i < length; ++i) {
    reg ^= data[i];
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0x8408 : reg >> 1;
  }
  return static_cast<uint16_t>(~reg);
}

std::vector<uint8_t> FrameHdlc(const std::vector<uint8_t>& packet) {
  return FrameWithFcs(packet, Crc16X25(packet.data(), packet.size()));
}

bool ParseFault(const std::string& text, sFault& fault) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() < 2 || parts.size() > 4) return false;
  static const struct {
    const char* name;
    eFaultKind kind;
  } kKinds[] = {{"drop", eFaultKind::Drop},       {"delay", eFaultKind::Delay},
                {"corrupt", eFaultKind::Corrupt}, {"error", eFaultKind::ErrorPacket},
                {"silence", eFaultKind::Silence}, {"disconnect", eFaultKind::Disconnect}};
  bool known = false;
  for (const auto& k : kKinds) {
    if (parts[0] == k.name) {
      fault.kind = k.kind;
      known = true;
    }
  }
  if (!known) return false;
  auto number = [](const std::string& s, unsigned long& value) {
    if (s.empty()) return false;
    char* end = nullptr;
    value = std::strtoul(s.c_str(), &end, 0);
    return *end == 0;
  };
  unsigned long v = 0;
  if (!number(parts[1], v) || v > 0xFF) return false;
  fault.request = static_cast<uint8_t>(v);
  fault.occurrence = 1;
  if (parts.size() > 2) {
    if (!number(parts[2], v)) return false;
    fault.occurrence = static_cast<unsigned>(v);
  }
  fault.delayMs = fault.afterBytes = 0;
  if (parts.size() > 3) {
    if (!number(parts[3], v)) return false;
    if (fault.kind == eFaultKind::Delay)
      fault.delayMs = static_cast<uint32_t>(v);
    else
      fault.afterBytes = static_cast<uint32_t>(v);
  }
  return true;
}

cTarnModule::cTarnModule(sModuleConfig config_) : config(config_) { frame.reserve(kMaxFrame); }

void cTarnModule::ResetLine() {
  rx = eRx::Idle;
  frame.clear();
  escape = false;
  headerLength = 0;
  chunkFault.reset();
}

std::optional<sFault> cTarnModule::CountRequest(uint8_t code) {
  requests.push_back(code);
  unsigned nthOfCode = ++countByCode[code];
  unsigned nth = ++countAll;
  for (const sFault& f : faults) {
    if (f.request != 0 && f.request != code) continue;
    unsigned n = f.request == 0 ? nth : nthOfCode;
    if (f.occurrence == 0 || f.occurrence == n) return f;
  }
  return std::nullopt;
}

std::vector<uint8_t> cTarnModule::ErrorPacket(uint32_t code) const {
  std::vector<uint8_t> p{0x0D};
  Put32(p, code);
  return p;
}

void cTarnModule::Answer(const std::vector<uint8_t>& packet, const std::optional<sFault>& fault,
                         std::vector<sAction>& out) {
  if (fault && fault->kind == eFaultKind::Silence) silent = true;
  if (silent) return;
  sAction a;
  a.kind = sAction::eKind::Send;
  if (!fault) {
    a.bytes = FrameHdlc(packet);
  } else {
    switch (fault->kind) {
      case eFaultKind::Drop:
        return;
      case eFaultKind::Delay:
        a.bytes = FrameHdlc(packet);
        a.delayMs = fault->delayMs;
        break;
      case eFaultKind::Corrupt: {
        std::vector<uint8_t> changed = packet;
        if (!changed.empty()) changed.back() ^= 0x01;
        a.bytes = FrameWithFcs(changed, Crc16X25(packet.data(), packet.size()));
        break;
      }
      case eFaultKind::ErrorPacket:
        a.bytes = FrameHdlc(ErrorPacket(kErrorScripted));
        break;
      case eFaultKind::Disconnect:
        a.kind = sAction::eKind::Disconnect;
        ResetLine();
        break;
      case eFaultKind::Silence:
        return;
    }
  }
  out.push_back(std::move(a));
}

std::vector<sAction> cTarnModule::Receive(const uint8_t* data, size_t length) {
  std::vector<sAction> out;
  size_t i = 0;
  while (i < length) {
    // After a disconnect or the restart, the rest of the input was never received.
    if (!out.empty() && out.back().kind != sAction::eKind::Send) return out;
    switch (rx) {
      case eRx::Idle: {
        uint8_t b = data[i++];
        if (b == kFlag) {
          rx = eRx::Frame;
          frame.clear();
          escape = false;
        } else if (b == 0x27) {
          rx = eRx::Header;
          header[0] = b;
          headerLength = 1;
        } else {
          ++stats.strayBytes;
        }
        break;
      }
      case eRx::Frame: {
        uint8_t b = data[i++];
        if (b == kFlag) {
          if (frame.empty() && !escape) break;  // opening flag, or flags between frames
          rx = eRx::Idle;
          HandleFrame(out);
          frame.clear();
          escape = false;
        } else if (escape) {
          escape = false;
          frame.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else if (b == kEscape) {
          escape = true;
        } else {
          frame.push_back(b);
        }
        if (frame.size() > kMaxFrame) {
          stats.strayBytes += frame.size();
          frame.clear();
          rx = eRx::Idle;
        }
        break;
      }
      case eRx::Header: {
        size_t take = std::min(sizeof(header) - headerLength, length - i);
        std::memcpy(header + headerLength, data + i, take);
        headerLength += take;
        i += take;
        if (headerLength == sizeof(header)) HandleHeader(out);
        break;
      }
      case eRx::Data:
      case eRx::Discard: {
        uint32_t room = chunkLength - chunkReceived;
        if (rx == eRx::Data && chunkFault && chunkFault->afterBytes > chunkReceived)
          room = std::min(room, chunkFault->afterBytes - chunkReceived);
        size_t take = std::min<size_t>(room, length - i);
        if (rx == eRx::Data && chunkAcceptable) chunkDigest = Fnv1a64(data + i, take, chunkDigest);
        chunkReceived += static_cast<uint32_t>(take);
        i += take;
        FinishChunk(out);
        break;
      }
    }
  }
  return out;
}

void cTarnModule::HandleFrame(std::vector<sAction>& out) {
  if (frame.size() < 3 ||
      Crc16X25(frame.data(), frame.size() - 2) != Le16(&frame[frame.size() - 2])) {
    ++stats.badFrames;
    return;
  }
  frame.resize(frame.size() - 2);
  const uint8_t code = frame[0];
  std::optional<sFault> fault = CountRequest(code);
  switch (code) {
    case 0x01: {
      ++stats.hellos;
      if (frame.size() != 36) {
        Answer(ErrorPacket(kErrorBadLength), fault, out);
        return;
      }
      static const char kMagic[] = "ZEPH high speed protocol";
      std::vector<uint8_t> r{0x02};
      r.insert(r.end(), kMagic, kMagic + 24);
      Put32(r, config.firmwareSet);
      Put16(r, config.imageVersion);
      Put16(r, 0);
      r.push_back(5);
      r.push_back(5);
      r.insert(r.end(), 13, 0);
      r.push_back(0x30);
      Answer(r, fault, out);
      return;
    }
    case 0x25: {
      ++stats.opens;
      if (frame.size() != 13) {
        Answer(ErrorPacket(kErrorBadLength), fault, out);
        return;
      }
      if (config.openStatus == 0) {
        sImageRecord rec;
        rec.type = frame[1];
        rec.announced = Le32(&frame[2]);
        images.push_back(rec);
        current = static_cast<long>(images.size()) - 1;
        nextSequence = 0;
      } else {
        current = -1;
      }
      std::vector<uint8_t> r{0x26};
      Put16(r, config.openStatus);
      r.push_back(1);
      Put32(r, config.chunkSize);
      Answer(r, fault, out);
      return;
    }
    case 0x29: {
      ++stats.dones;
      current = -1;
      if (fault && fault->kind != eFaultKind::Delay) {
        Answer(ErrorPacket(kErrorDone), fault, out);
        return;
      }
      if (config.done == eDoneBehaviour::ErrorPacket) {
        Answer(ErrorPacket(kErrorDone), fault, out);
      } else {
        sAction a;
        a.kind = sAction::eKind::Leave;
        a.delayMs = fault ? fault->delayMs : 0;
        out.push_back(std::move(a));
        ResetLine();
      }
      return;
    }
    default:
      ++stats.unknown;
      Answer(ErrorPacket(kErrorUnknownPacket), fault, out);
      return;
  }
}

void cTarnModule::HandleHeader(std::vector<sAction>& out) {
  headerLength = 0;
  if (Crc16X25(header, 11) != Le16(header + 11)) {
    // Without a trustworthy length the data cannot be skipped: resynchronise on what follows.
    ++stats.badHeaders;
    rx = eRx::Idle;
    std::optional<sFault> fault = CountRequest(0x27);
    Answer(ErrorPacket(kErrorBadHeader), fault, out);
    return;
  }
  chunkLength = Le32(header + 7);
  chunkReceived = 0;
  chunkDigest = current >= 0 ? images[current].digest : kFnvOffset;
  uint16_t sequence = Le16(header + 1);
  chunkAcceptable = current >= 0 && sequence == nextSequence && chunkLength >= 1 &&
                    chunkLength <= kMaxChunk && chunkLength <= config.chunkSize &&
                    images[current].received + chunkLength <= images[current].announced;
  chunkFault = CountRequest(0x27);
  rx = chunkLength == 0 ? eRx::Idle : eRx::Data;
  if (chunkLength > kMaxChunk) {
    // The host cannot mean this; the rest of the stream is treated as stray bytes.
    rx = eRx::Idle;
    std::vector<uint8_t> r{0x28};
    r.insert(r.end(), 6, 0);
    Put16(r, kWriteBadLength);
    Answer(r, chunkFault, out);
    chunkFault.reset();
    return;
  }
  FinishChunk(out);
}

void cTarnModule::FinishChunk(std::vector<sAction>& out) {
  const bool midFault = chunkFault && (chunkFault->kind == eFaultKind::ErrorPacket ||
                                       chunkFault->kind == eFaultKind::Disconnect);
  if (rx == eRx::Data && midFault && chunkReceived >= chunkFault->afterBytes &&
      chunkReceived < chunkLength) {
    std::optional<sFault> f = chunkFault;
    chunkFault.reset();
    if (f->kind == eFaultKind::Disconnect) {
      sAction a;
      a.kind = sAction::eKind::Disconnect;
      out.push_back(std::move(a));
      ResetLine();
      return;
    }
    if (!silent)
      out.push_back({sAction::eKind::Send, FrameHdlc(ErrorPacket(kErrorScripted)), 0, true});
    rx = eRx::Discard;
    return;
  }
  if (chunkReceived < chunkLength) return;
  const bool discarded = rx == eRx::Discard;
  rx = eRx::Idle;
  if (discarded) return;
  uint16_t status = config.writeStatus;
  if (!chunkAcceptable) {
    status = current < 0                        ? kWriteNoImage
             : Le16(header + 1) != nextSequence ? kWriteBadSequence
                                                : kWriteBadLength;
  }
  if (status == 0) {
    sImageRecord& rec = images[current];
    rec.received += chunkLength;
    rec.digest = chunkDigest;
    ++rec.chunks;
    ++nextSequence;
    ++stats.chunksAccepted;
  } else {
    ++stats.chunksRejected;
  }
  std::vector<uint8_t> r{0x28};
  r.insert(r.end(), 6, 0);
  Put16(r, status);
  std::optional<sFault> f = chunkFault;
  chunkFault.reset();
  Answer(r, f, out);
}

}  // namespace tarnsim
