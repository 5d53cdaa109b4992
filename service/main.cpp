// brisa.exe: the download service's program.
#include "service/brisa_service.h"

namespace {
// The one service object, constructed before the entry point runs.
brisa::cBrisa theService;
}  // namespace

int wmain(int argc, wchar_t** argv) { return brisa::ProgramEntry(theService, argc, argv); }
