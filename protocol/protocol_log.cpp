#include "protocol/protocol_log.h"

namespace brisa {

cProtocolLog::~cProtocolLog() {
  history.Clear();
  history.Destroy();
}

DWORD cProtocolLog::Add(const sProtocolBuffer& packet) {
  if (!packet.IsValid()) return kInvalidLogIndex;
  // Only the view is stored: a base copy shares the block and drops any derived record's parts.
  return history.Add(sProtocolBuffer(packet));
}

sProtocolBuffer cProtocolLog::Get(DWORD index) {
  sProtocolBuffer packet;
  history.Get(index, packet);
  return packet;
}

DWORD cProtocolLog::Count() { return history.Total(); }

void cProtocolLog::Clear() { history.Clear(); }

void DumpPacket(cProtocolLog& log, DWORD index, cServiceLog& serviceLog) {
  sProtocolBuffer packet = log.Get(index);
  if (!packet.IsValid()) {
    serviceLog.WriteLine(L"  Protocol buffer error");
    return;
  }
  FILETIME stamp;
  stamp.dwLowDateTime = static_cast<DWORD>(packet.timeStamp);
  stamp.dwHighDateTime = static_cast<DWORD>(packet.timeStamp >> 32);
  SYSTEMTIME t = {};
  FileTimeToSystemTime(&stamp, &t);
  serviceLog.WriteFormat(L"  %04u [%u %02d/%02d/%02d %02d:%02d:%02d.%03d]", index, packet.Tag(),
                         t.wMonth, t.wDay, t.wYear, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);

  static const wchar_t kHex[] = L"0123456789ABCDEF";
  const BYTE* bytes = packet.Data();
  DWORD size = packet.Size();
  std::wstring line;
  line.reserve(4 + 16 * 3);
  for (DWORD i = 0; i < size; ++i) {
    if (line.empty()) line = L"    ";
    line += kHex[bytes[i] >> 4];
    line += kHex[bytes[i] & 0xF];
    line += L' ';
    if ((i + 1) % 16 == 0) {
      serviceLog.WriteLine(line);
      line.clear();
    }
  }
  if (!line.empty()) serviceLog.WriteLine(line);
}

}  // namespace brisa
