// The host's main() for programs with a wide entry point, as the platform's run-time starts
// them: the arguments arrive as wide strings.
#include <string>
#include <vector>

#include "win32emu/world.h"

int wmain(int argc, wchar_t** argv);

int main(int argc, char** argv) {
  std::vector<std::wstring> args;
  for (int i = 0; i < argc; ++i) args.push_back(win32emu::Widen(argv[i]));
  std::vector<wchar_t*> wargv;
  for (auto& a : args) wargv.push_back(a.data());
  wargv.push_back(nullptr);
  return wmain(argc, wargv.data());
}
