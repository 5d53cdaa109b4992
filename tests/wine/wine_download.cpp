// wine_download.exe PORT AMSS APPS NVPK LOG: brisa's download sequence over a real serial port,
// as a download thread of the service runs it, without the service around it. Under Wine it
// reaches the module emulator through Wine's serial stack and a pseudo-terminal: the service
// itself cannot get there, since Wine opens no port with a file name after it.
// Exits with the download thread's exit code (0: the three images and the done packet went out).
#include <windows.h>

#include <cstdio>

#include "protocol/service_log.h"
#include "service/download_job.h"
#include "tarn/download_sequence.h"
#include "tarn/tarn_protocol_server.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: wine_download PORT AMSS APPS NVPK LOG\n");
    return 2;
  }
  brisa::cServiceLog log;
  if (!log.OpenLog(argv[5])) {
    std::fprintf(stderr, "wine_download: cannot open the log\n");
    return 3;
  }
  brisa::cTarnProtocolServer server;
  if (!server.Initialize() || !server.ConnectPort(argv[1])) {
    std::fprintf(stderr, "wine_download: cannot connect to the port (%lu)\n", GetLastError());
    return 4;
  }
  auto* job = new brisa::sDownloadJob;
  job->device.busName = L"usb";
  job->device.connectKey = argv[1];
  job->device.server = &server;
  job->amssPath = argv[2];
  job->appsPath = argv[3];
  job->nvpkPath = argv[4];
  job->log = &log;
  HANDLE thread = CreateThread(nullptr, 0, brisa::DownloadThread, job, 0, nullptr);
  if (!thread) {
    delete job;
    return 5;
  }
  DWORD code = 1;
  if (WaitForSingleObject(thread, 120000) != WAIT_OBJECT_0 || !GetExitCodeThread(thread, &code))
    code = 6;
  CloseHandle(thread);
  server.StopWorker();
  log.CloseLog();
  std::printf("download thread exit code %lu\n", code);
  return static_cast<int>(code);
}
