// worldctl: puts modules into the simulated world by hand, so that a running service can be
// pointed at any program that speaks the module's side of the protocol, or at a real module.
//   worldctl plug PORT TTY [DEVICE_ID [INSTANCE]]   e.g. worldctl plug COM7 /dev/pts/5
//   worldctl unplug PORT [DEVICE_ID [INSTANCE]]
// The port binding goes to the world's file <root>/devices/ports, the interface and its
// "PortName" to the world's registry, and the arrival or removal event to the service.
#include <cstdio>
#include <string>

#include "sim/world/module_world.h"
#include "win32emu/ports.h"
#include "win32emu/world.h"

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  bool plug = command == "plug";
  int fixed = plug ? 4 : 3;
  if ((!plug && command != "unplug") || argc < fixed) {
    fprintf(stderr,
            "usage: worldctl plug PORT TTY [DEVICE_ID [INSTANCE]]\n"
            "       worldctl unplug PORT [DEVICE_ID [INSTANCE]]\n");
    return 2;
  }
  worldsim::sModuleIdentity id;
  id.portName = win32emu::Widen(argv[2]);
  id.instance = L"6&" + id.portName;
  if (argc > fixed) id.deviceId = win32emu::Widen(argv[fixed]);
  if (argc > fixed + 1) id.instance = win32emu::Widen(argv[fixed + 1]);
  if (plug) {
    win32emu::BindPortToDevice(id.portName, argv[3]);
    worldsim::PlugModule(id);
  } else {
    worldsim::UnplugModule(id);
  }
  printf("%s %s: %s\n", plug ? "plugged" : "unplugged", argv[2],
         win32emu::Narrow(worldsim::InterfacePath(id)).c_str());
  return 0;
}
