// The world's device interfaces and device events.
//
// Interfaces persist in the world (<root>/devices/interfaces/<class>/), so a service running in
// another process sees what a tool or test added. Events go to a running service through the
// service manager, as SERVICE_CONTROL_DEVICEEVENT / SERVICE_CONTROL_POWEREVENT controls.
#pragma once

#include <string>
#include <vector>

#include "win32emu/base_types.h"

namespace win32emu {

void AddDeviceInterface(const GUID& interfaceClass, const std::wstring& devicePath);
bool RemoveDeviceInterface(const GUID& interfaceClass, const std::wstring& devicePath);
std::vector<std::wstring> DeviceInterfaces(const GUID& interfaceClass);

// Sends a DEV_BROADCAST_DEVICEINTERFACE_W event (DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE ...)
// to the named service. Returns the handler's result or the manager's error.
DWORD SendDeviceInterfaceEvent(const std::wstring& service, DWORD eventType,
                               const GUID& interfaceClass, const std::wstring& devicePath);
// Sends a power event (PBT_APMSUSPEND ...) to the named service.
DWORD SendPowerEvent(const std::wstring& service, DWORD eventType);

}  // namespace win32emu
