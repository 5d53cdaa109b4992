#include "core/naming.h"

#include "core/parameters.h"
#include "usb/registry_strings.h"
#include "usb/strings.h"

namespace hollin {
namespace {

const WCHAR* SavedInstanceNumberName() { return WIDE("SavedInstanceNumber"); }

bool EndsWithHashes(const WCHAR* text, SIZE_T length) {
  return length >= 3 && text[length - 1] == '#' && text[length - 2] == '#' &&
         text[length - 3] == '#';
}

// The suffix a published name needs so that PutNumber has room for the number.
const WCHAR* PublishedSuffix(const WCHAR* name) {
  SIZE_T length = WideLength(name);
  if (length >= 4 && EndsWithHashes(name, length)) return WIDE("");
  if (length >= 3 && name[length - 1] == '#') {
    return name[length - 2] != '#' ? WIDE("##") : WIDE("xxx");
  }
  return WIDE("xxx");
}

NTSTATUS BuildNames(PDEVICE_OBJECT pdo, const DriverDescriptor* descriptor, PUNICODE_STRING link,
                    PUNICODE_STRING name) {
  RtlZeroMemory(link, sizeof(*link));
  RtlZeroMemory(name, sizeof(*name));
  PWSTR published = nullptr;
  NTSTATUS status;
  if (NT_SUCCESS(ReadPublishedDeviceName(pdo, PLUGPLAY_REGKEY_DRIVER, WIDE("PublishedDeviceName"),
                                         &published))) {
    const WCHAR* suffix = PublishedSuffix(published);
    status = ConcatUnicodeStrings(link, WIDE("\\DosDevices\\"), published, suffix);
    if (NT_SUCCESS(status)) {
      status = ConcatUnicodeStrings(name, WIDE("\\Device\\"), published, suffix);
    }
    ExFreePool(published);
  } else {
    status = DuplicateUnicodeString(link, descriptor->SymbolicLinkPrefix);
    if (NT_SUCCESS(status)) status = DuplicateUnicodeString(name, descriptor->DeviceNamePrefix);
  }
  if (!NT_SUCCESS(status)) {
    FreeUnicodeString(link);
    FreeUnicodeString(name);
  }
  return status;
}

ULONG ChooseInstanceNumber(const UCHAR* map, ULONG saved, ULONG next) {
  if (saved >= next || !(map[saved / 8] & (1u << (saved % 8)))) return saved;
  ULONG byte = 0;
  while (byte < kInstanceNumberLimit / 8 && byte * 8 < next && map[byte] == 0xFF) ++byte;
  if (byte >= kInstanceNumberLimit / 8 || byte * 8 >= next) return byte * 8;
  ULONG bit = 0;
  while (map[byte] & (1u << bit)) ++bit;
  return byte * 8 + bit;
}

}  // namespace

ULONG PutNumber(PWSTR string, ULONG number) {
  ULONG length = static_cast<ULONG>(WideLength(string));
  ULONG digits = number < 10 ? 1 : number < 100 ? 2 : 3;
  if (EndsWithHashes(string, length)) {
    ULONG start = length - 3;
    ULONG value = number;
    for (ULONG i = digits; i > 0; --i) {
      string[start + i - 1] = static_cast<WCHAR>('0' + value % 10);
      value /= 10;
    }
    string[start + digits] = 0;
    return start + digits;
  }
  ULONG value = number;
  for (ULONG i = 0; i < 3 && i < length; ++i) {
    string[length - 1 - i] = static_cast<WCHAR>('0' + value % 10);
    value /= 10;
  }
  return length;
}

NTSTATUS CreateParentDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT* device,
                            DriverRecord* record, const DriverDescriptor* descriptor) {
  *device = nullptr;

  ULONG saved = 0;
  bool hasSaved = NT_SUCCESS(ReadDeviceKeyValue(pdo, SavedInstanceNumberName(), &saved));
  if (hasSaved && static_cast<LONG>(saved) < 0) saved = 0;
  // A saved number out of range would make every later AddDevice fail; such a device is
  // numbered afresh.
  if (hasSaved && saved >= kInstanceNumberLimit) {
    hasSaved = false;
    saved = 0;
  }

  UCHAR map[kInstanceNumberLimit / 8];
  RtlZeroMemory(map, sizeof(map));
  ULONG active = 0;
  ULONG next = 0;
  for (PLIST_ENTRY entry = record->DeviceList.Flink; entry != &record->DeviceList;
       entry = entry->Flink) {
    ParentExtension* other = CONTAINING_RECORD(entry, ParentExtension, DeviceListEntry);
    ULONG number = other->Header.InstanceNumber;
    if (number >= kInstanceNumberLimit) return STATUS_UNSUCCESSFUL;
    map[number / 8] |= static_cast<UCHAR>(1u << (number % 8));
    if (!other->Stopping) ++active;
    if (number + 1 > next) next = number + 1;
  }

  ULONG number = ChooseInstanceNumber(map, saved, next);
  if (number >= kInstanceNumberLimit) return STATUS_UNSUCCESSFUL;

  if (!hasSaved && active > 0) {
    WriteSavedInstanceNumber(pdo, PLUGPLAY_REGKEY_DRIVER, SavedInstanceNumberName(), &number);
    for (PLIST_ENTRY entry = record->DeviceList.Flink; entry != &record->DeviceList;
         entry = entry->Flink) {
      ParentExtension* other = CONTAINING_RECORD(entry, ParentExtension, DeviceListEntry);
      if (other->Stopping || !other->Header.BusDevice) continue;
      ULONG existing;
      if (!NT_SUCCESS(
              ReadDeviceKeyValue(other->Header.BusDevice, SavedInstanceNumberName(), &existing))) {
        WriteSavedInstanceNumber(other->Header.BusDevice, PLUGPLAY_REGKEY_DRIVER,
                                 SavedInstanceNumberName(), &other->Header.InstanceNumber);
      }
    }
  }

  UNICODE_STRING link;
  UNICODE_STRING name;
  NTSTATUS status = BuildNames(pdo, descriptor, &link, &name);
  if (!NT_SUCCESS(status)) return status;

  ULONG useInstanceNumber = 0;
  if (!NT_SUCCESS(
          ReadDeviceKeyValue(pdo, WIDE("UseInstanceNumberForSymLink"), &useInstanceNumber))) {
    useInstanceNumber = 0;
  }
  link.Length = static_cast<USHORT>(
      PutNumber(link.Buffer, useInstanceNumber ? number : number + 1) * sizeof(WCHAR));
  name.Length = static_cast<USHORT>(PutNumber(name.Buffer, number) * sizeof(WCHAR));

  PDEVICE_OBJECT created = nullptr;
  status =
      IoCreateDevice(driver, kDeviceExtensionSize, &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &created);
  if (!NT_SUCCESS(status)) {
    FreeUnicodeString(&link);
    FreeUnicodeString(&name);
    return status;
  }

  ParentExtension* extension = ParentOf(created);
  extension->Unconfigured = TRUE;
  extension->ConfigurationHandle = nullptr;
  extension->Header.DriverObject = driver;
  extension->Header.DriverRecord = record;
  InterlockedIncrement(&record->DeviceCount);
  extension->Header.Self = created;
  extension->UsbTimeout = 0;
  extension->Header.InstanceNumber = number;
  extension->UseInstanceNumber = useInstanceNumber != 0;
  InsertTailList(&record->DeviceList, &extension->DeviceListEntry);
  RtlCopyMemory(extension->Dispatch, record->SavedDispatch, sizeof(extension->Dispatch));
  extension->DeviceName = name;
  extension->SymbolicLinkName = link;
  *device = created;

  status = IoCreateUnprotectedSymbolicLink(&extension->SymbolicLinkName, &extension->DeviceName);
  // A link that was not made is not ours to delete later: the name may belong to another device.
  if (!NT_SUCCESS(status)) FreeUnicodeString(&extension->SymbolicLinkName);
  return status;
}

VOID FreeRegisteredInterfaces(ParentExtension* extension) {
  if (!extension->Interfaces) return;
  for (ULONG i = 0; i < extension->InterfaceCount; ++i) {
    if (extension->Interfaces[i].Name.Buffer) RtlFreeUnicodeString(&extension->Interfaces[i].Name);
  }
  ExFreePool(extension->Interfaces);
  extension->Interfaces = nullptr;
  extension->InterfaceCount = 0;
}

VOID DeleteSymbolicLinks(ParentExtension* extension) {
  const DriverDescriptor* descriptor = extension->Header.Descriptor;
  if (descriptor && descriptor->OnDeleteSymbolicLinks) {
    descriptor->OnDeleteSymbolicLinks(extension->Header.Self);
  } else if (!(descriptor && descriptor->KeepSymbolicLinks) && extension->SymbolicLinkName.Buffer) {
    IoDeleteSymbolicLink(&extension->SymbolicLinkName);
    FreeUnicodeString(&extension->SymbolicLinkName);
  }

  PVOID routine = nullptr;
  if (!NT_SUCCESS(SelkWH_FindIoSetDeviceInterfaceState(&routine)) || !routine) return;
  auto setState = reinterpret_cast<IoSetDeviceInterfaceStateRoutine>(routine);
  bool failed = false;
  for (ULONG i = 0; extension->Interfaces && i < extension->InterfaceCount; ++i) {
    RegisteredInterface& registered = extension->Interfaces[i];
    // After one failure the rest are left as they are, but their names are still freed.
    if (registered.Enabled && !failed && !NT_SUCCESS(setState(&registered.Name, FALSE))) {
      failed = true;
    }
    registered.Enabled = FALSE;
  }
  FreeRegisteredInterfaces(extension);
}

}  // namespace hollin
