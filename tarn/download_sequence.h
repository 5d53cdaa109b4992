// One module's download: hello, the version check, the three images and the done packet.
#pragma once

#include <windows.h>

#include "protocol/protocol_buffers.h"
#include "protocol/protocol_server.h"
#include "protocol/service_log.h"
#include "service/download_job.h"
#include "tarn/image_file.h"

namespace brisa {

// Download threads' exit codes besides 0 and the image files' own error codes.
constexpr DWORD kExitPacketAllocation = ERROR_OUTOFMEMORY;  // 14
constexpr DWORD kExitBadAmssTrailer = ERROR_CRC;            // 23
constexpr DWORD kExitNoServer = ERROR_BAD_ARGUMENTS;        // 160
constexpr DWORD kExitProtocol = ERROR_CAN_NOT_COMPLETE;     // 1003
constexpr DWORD kExitVersion = ERROR_REVISION_MISMATCH;     // 1306
// An AMSS file that maps but is too short to hold its 8-byte trailer.
constexpr DWORD kExitAmssTooShort = ERROR_INVALID_DATA;  // 13

constexpr DWORD kHelloTimeout = 10000;
constexpr DWORD kOpenUnframedTimeout = 2000;
constexpr DWORD kWriteUnframedTimeout = 4000;
constexpr DWORD kDoneTimeout = 500;

// The thread body; `job` is an sDownloadJob from new, which the thread frees.
DWORD WINAPI DownloadThread(LPVOID job);

// Sends one request (the packet block is referenced by the request) and waits for its outcome,
// at most `timeout` ms between events. Returns the response, or an empty view.
sProtocolBuffer SendRequest(cProtocolServer* server, sSharedBuffer* packet, DWORD timeout,
                            const BYTE* attachedData, DWORD attachedLength, cServiceLog* log);

// Sends one image: open-unframed, then one write-unframed transfer per chunk.
bool SendImage(BYTE imageType, const cMemoryMappedFile& image, cProtocolServer* server,
               cServiceLog* log);

}  // namespace brisa
