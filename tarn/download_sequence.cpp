#include "tarn/download_sequence.h"

#include <memory>
#include <new>
#include <vector>

#include "service/options.h"
#include "tarn/tarn_records.h"
#include "tarn/tarn_protocol_server.h"

namespace brisa {

namespace {

constexpr DWORD kEventQueueCapacity = 12;
constexpr DWORD kTrailerSize = 8;

void Line(cServiceLog* log, const wchar_t* text) {
  if (log) log->WriteLine(text);
}

}  // namespace

sProtocolBuffer SendRequest(cProtocolServer* server, sSharedBuffer* packet, DWORD timeout,
                            const BYTE* attachedData, DWORD attachedLength, cServiceLog* log) {
  sProtocolBuffer result;
  if (timeout == 0 || !packet || !server) {
    if (packet && packet->refCount == 0) sSharedBuffer::Release(packet);
    return result;
  }
  cEventQueue queue(kEventQueueCapacity, true);
  cProtocolQueueNotification notification(&queue);
  sProtocolRequest request(sProtocolRequest::ClampResponseTimeout(timeout), &notification, packet);
  request.attachedData = attachedData;
  request.attachedLength = attachedLength;
  DWORD id = server->ScheduleRequest(request);
  if (id == 0) {
    Line(log, L"Tarn protocol server failed schedule request");
    return result;
  }
  cProtocolLog& packets = server->GetProtocolLog();
  DWORD next = 0;
  for (;;) {
    DWORD wait = WaitForSingleObject(queue.Event(), timeout);
    bool timedOut = wait != WAIT_OBJECT_0;
    DWORD total = timedOut ? next : queue.Total();
    bool done = false;
    for (; !timedOut && !done && next < total; ++next) {
      sProtocolEvent e{};
      if (!queue.Get(next, e)) {
        timedOut = true;  // more events came than the queue holds
        break;
      }
      switch (e.event) {
        case kEventRequestError:
          Line(log, L"Tarn protocol server request error");
          done = true;
          break;
        case kEventRequestSent:
          Line(log, L"Tarn protocol server request sent");
          if (log) DumpPacket(packets, e.value, *log);
          break;
        case kEventResponseError:
          Line(log, L"Tarn protocol server response error");
          done = true;
          break;
        case kEventResponseReceived:
          Line(log, L"Tarn protocol server response received");
          if (log) DumpPacket(packets, e.value, *log);
          result = packets.Get(e.value);
          done = true;
          break;
        case kEventAttachedProgress:
          if (log) log->WriteFormat(L"Tarn protocol server sent %u bytes of image", e.value);
          break;
        default:
          break;
      }
    }
    if (done) return result;
    if (timedOut) {
      Line(log, L"Tarn protocol server response timeout");
      server->CancelRequest(id);
      return sProtocolBuffer();
    }
  }
}

bool SendImage(BYTE imageType, const cMemoryMappedFile& image, cProtocolServer* server,
               cServiceLog* log) {
  const BYTE* data = image.Data();
  DWORD length = image.Size();
  if (imageType == kTarnImageAmss) length = length >= kTrailerSize ? length - kTrailerSize : 0;

  sSharedBuffer* open = BuildTarnOpenUnframed(imageType, length);
  if (!open) {
    Line(log, L"Tarn protocol packet allocation error");
    return false;
  }
  sTarnOpenUnframed opened(SendRequest(server, open, kOpenUnframedTimeout, nullptr, 0, log));
  if (!opened.IsValid() || opened.Code() != kTarnOpenUnframedResponse || opened.Status() != 0) {
    Line(log, L"Tarn invalid open unframed response error");
    return false;
  }
  DWORD chunkSize = opened.ChunkSize();
  if (chunkSize > kTarnMaxChunkLength) chunkSize = kTarnMaxChunkLength;
  std::vector<sProtocolBuffer> headers;
  if (!BuildTarnChunkList(length, chunkSize, headers) || headers.empty()) {
    Line(log, L"Tarn protocol packet allocation error");
    return false;
  }
  DWORD offset = 0;
  for (sProtocolBuffer& header : headers) {
    DWORD chunk = TarnGetLe32(header.Data() + 7);
    sProtocolBuffer response =
        SendRequest(server, header.buffer, kWriteUnframedTimeout, data + offset, chunk, log);
    if (!response.IsValid()) return false;  // SendRequest said why
    sTarnWriteUnframed written(response);
    if (!written.IsValid() || written.Code() != kTarnWriteUnframedResponse ||
        written.Status() != 0) {
      Line(log, L"Tarn write unframed error response");
      return false;
    }
    offset += chunk;
  }
  return true;
}

namespace {

DWORD RunDownload(sDownloadJob& job) {
  cServiceLog* log = job.log;
  cTarnProtocolServer* tarn = job.device.server;
  if (!tarn) return kExitNoServer;
  cProtocolServer* server = tarn;
  if (job.device.connectKey.empty()) {
    server->DisconnectPort();
    return kExitNoServer;
  }

  sSharedBuffer* hello = BuildTarnHello();
  if (!hello) {
    Line(log, L"Tarn protocol packet allocation error");
    return kExitPacketAllocation;
  }
  sTarnHello answer(SendRequest(server, hello, kHelloTimeout, nullptr, 0, log));
  if (!answer.IsValid() || answer.Code() != kTarnHelloResponse) {
    Line(log, L"Tarn invalid hello response error");
    server->DisconnectPort();
    return kExitProtocol;
  }
  WORD moduleVersion = answer.ImageVersion();
  DWORD configured = answer.ConfiguredFirmware();
  if (LocateImages(job, configured) != 0 && log)
    log->WriteFormat(L"Error locating configured firmware [%u], proceding with default",
                     configured);

  cMemoryMappedFile amss(job.amssPath.c_str());
  if (amss.Error() != 0 || amss.Size() <= kTrailerSize) {
    DWORD code = amss.Error() != 0 ? amss.Error() : kExitAmssTooShort;
    if (log)
      log->WriteFormat(L"Tarn unable to open AMSS file: %ls (%u)", job.amssPath.c_str(), code);
    server->DisconnectPort();
    return code;
  }
  const BYTE* trailer = amss.Data() + amss.Size() - kTrailerSize;
  WORD mark1 = TarnGetLe16(trailer), mark2 = TarnGetLe16(trailer + 2);
  WORD fileVersion = TarnGetLe16(trailer + 4);
  if (mark1 != 0x1234 || mark2 != 0xFEDC) {
    if (log)
      log->WriteFormat(L"Tarn invalid AMSS file [0x%04X/0x%04X]: %ls", mark1, mark2,
                       job.amssPath.c_str());
    server->DisconnectPort();
    return kExitBadAmssTrailer;
  }
  if (fileVersion != moduleVersion) {
    if (log) log->WriteFormat(L"Tarn version mismatch error (%u/%u)", moduleVersion, fileVersion);
    return kExitVersion;
  }
  cMemoryMappedFile apps(job.appsPath.c_str());
  if (apps.Error() != 0 || apps.Size() == 0) {
    DWORD code = apps.Error() != 0 ? apps.Error() : ERROR_FILE_INVALID;
    if (log)
      log->WriteFormat(L"Tarn unable to open apps file: %ls (%u)", job.appsPath.c_str(), code);
    return code;
  }
  cMemoryMappedFile nvpk(job.nvpkPath.c_str());
  if (nvpk.Error() != 0 || nvpk.Size() == 0) {
    DWORD code = nvpk.Error() != 0 ? nvpk.Error() : ERROR_FILE_INVALID;
    if (log)
      log->WriteFormat(L"Tarn unable to open NVPK file: %ls (%u)", job.nvpkPath.c_str(), code);
    return code;
  }

  if (log) log->WriteFormat(L"Tarn sending image file: %ls", job.amssPath.c_str());
  bool sent = SendImage(kTarnImageAmss, amss, server, log);
  if (sent) {
    if (log) log->WriteFormat(L"Sending image file: %ls", job.appsPath.c_str());
    sent = SendImage(kTarnImageApps, apps, server, log);
  }
  if (sent) {
    if (log) log->WriteFormat(L"Sending image file: %ls", job.nvpkPath.c_str());
    sent = SendImage(kTarnImageNvpk, nvpk, server, log);
  }
  if (!sent) {
    Line(log, L"Tarn error sending image file");
    server->DisconnectPort();
    return kExitProtocol;
  }

  sSharedBuffer* done = BuildTarnDone();
  if (!done) {
    Line(log, L"Tarn protocol packet allocation error");
    server->DisconnectPort();
    return kExitPacketAllocation;
  }
  sProtocolBuffer end = SendRequest(server, done, kDoneTimeout, nullptr, 0, log);
  if (end.IsValid() && end.Data()[0] == kTarnErrorPacket) {
    Line(log, L"Tarn protocol error in response to done");
    Line(log, L"Tarn download complete (with error)");
    server->DisconnectPort();
    return kExitVersion;
  }
  Line(log, L"Tarn download complete");
  server->DisconnectPort();
  return 0;
}

}  // namespace

DWORD WINAPI DownloadThread(LPVOID parameter) {
  std::unique_ptr<sDownloadJob> owned(static_cast<sDownloadJob*>(parameter));
  if (!owned) return kExitNoServer;
  sDownloadJob job = *owned;  // the thread's own copy; the record is freed at once
  owned.reset();
  return RunDownload(job);
}

}  // namespace brisa
