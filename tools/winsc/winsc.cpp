// winsc: the world's service manager from the command line, as sc.exe is on Windows.
//   winsc query NAME           state of a service
//   winsc control NAME CODE    send a control code (user codes 128-255, 4 = interrogate)
//   winsc wait NAME STATE [s]  wait until the service reaches STATE (RUNNING, STOPPED...)
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const wchar_t* StateName(DWORD state) {
  static const wchar_t* names[] = {
      L"?",       L"STOPPED",          L"START_PENDING", L"STOP_PENDING",
      L"RUNNING", L"CONTINUE_PENDING", L"PAUSE_PENDING", L"PAUSED"};
  return state < 8 ? names[state] : L"?";
}

int Fail(const char* what) {
  fprintf(stderr, "winsc: %s failed: error %u\n", what, static_cast<unsigned>(GetLastError()));
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: winsc query|control|wait NAME [ARG] [SECONDS]\n");
    return 2;
  }
  std::wstring command = argv[1];
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) return Fail("OpenSCManagerW");
  SC_HANDLE service = OpenServiceW(
      scm, argv[2], SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL);
  if (!service) {
    int rc = Fail("OpenServiceW");
    CloseServiceHandle(scm);
    return rc;
  }
  int rc = 0;
  SERVICE_STATUS s{};
  if (command == L"query") {
    if (!QueryServiceStatus(service, &s)) {
      rc = Fail("QueryServiceStatus");
    } else {
      printf("%ls: %ls (accepts 0x%x, check point %u, exit code %u)\n", argv[2],
             StateName(s.dwCurrentState), static_cast<unsigned>(s.dwControlsAccepted),
             static_cast<unsigned>(s.dwCheckPoint), static_cast<unsigned>(s.dwWin32ExitCode));
    }
  } else if (command == L"control" && argc >= 4) {
    DWORD code = static_cast<DWORD>(wcstoul(argv[3], nullptr, 0));
    if (!ControlService(service, code, &s)) rc = Fail("ControlService");
  } else if (command == L"wait" && argc >= 4) {
    DWORD seconds = argc >= 5 ? static_cast<DWORD>(wcstoul(argv[4], nullptr, 0)) : 30;
    rc = 1;
    for (DWORD waited = 0; waited <= seconds * 10; ++waited) {
      if (QueryServiceStatus(service, &s) && std::wstring(StateName(s.dwCurrentState)) == argv[3]) {
        rc = 0;
        break;
      }
      Sleep(100);
    }
    if (rc) fprintf(stderr, "winsc: %ls did not reach %ls\n", argv[2], argv[3]);
  } else {
    fprintf(stderr, "winsc: unknown command\n");
    rc = 2;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return rc;
}
