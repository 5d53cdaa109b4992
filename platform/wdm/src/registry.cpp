// The registry: a tree of keys with typed values, kernel handles, and RtlQueryRegistryValues
// with its query-table rules.
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "internal.h"

namespace wdmemu {
namespace {

struct Value {
  std::u16string name;
  ULONG type;
  std::vector<UCHAR> data;
};

struct Key {
  std::u16string name;
  std::map<std::u16string, std::unique_ptr<Key>> children;  // by upper-case name
  std::vector<Value> values;
  Key* parent = nullptr;
  bool deleted = false;
};

struct Handle {
  Key* key;
  PDRIVER_OBJECT driver;
  std::source_location openedAt;
};

struct Registry {
  std::recursive_mutex lock;
  std::unique_ptr<Key> root = std::make_unique<Key>();
  std::unordered_map<HANDLE, Handle> handles;
  std::vector<std::unique_ptr<Key>> graveyard;  // deleted keys stay until reset
  uintptr_t nextHandle = 0x100;
};

Registry& R() {
  static Registry* registry = new Registry;
  return *registry;
}

std::vector<std::u16string> Split(const std::u16string& path) {
  std::vector<std::u16string> parts;
  std::u16string part;
  for (char16_t c : path) {
    if (c == u'\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

Key* Walk(Key* from, const std::u16string& path, bool create, bool* created = nullptr) {
  Key* key = from;
  for (auto& part : Split(path)) {
    auto& slot = key->children[Upper(part)];
    if (!slot) {
      if (!create) {
        key->children.erase(Upper(part));
        return nullptr;
      }
      slot = std::make_unique<Key>();
      slot->name = part;
      slot->parent = key;
      if (created) *created = true;
    }
    key = slot.get();
  }
  return key;
}

Value* FindValue(Key* key, const std::u16string& name) {
  for (auto& v : key->values) {
    if (Upper(v.name) == Upper(name)) return &v;
  }
  return nullptr;
}

HANDLE NewHandle(Key* key, const std::source_location& loc) {
  HANDLE h = (HANDLE)(R().nextHandle += 4);
  R().handles[h] = Handle{key, Self().driver, loc};
  return h;
}

Key* KeyOf(HANDLE h) {
  auto it = R().handles.find(h);
  if (it == R().handles.end() || it->second.key->deleted) return nullptr;
  return it->second.key;
}

NTSTATUS Open(PHANDLE out, POBJECT_ATTRIBUTES attributes, bool create, PULONG disposition,
              const std::source_location& loc) {
  CheckIrql(PASSIVE_LEVEL, create ? "ZwCreateKey" : "ZwOpenKey", loc);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  *out = nullptr;
  Key* base = R().root.get();
  if (attributes->RootDirectory) {
    base = KeyOf(attributes->RootDirectory);
    if (!base) return STATUS_INVALID_HANDLE;
  }
  std::u16string path = FromUnicode(attributes->ObjectName);
  if (!attributes->RootDirectory && Split(path).empty()) return STATUS_OBJECT_NAME_INVALID;
  bool created = false;
  Key* key = Walk(base, path, create, &created);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *out = NewHandle(key, loc);
  return STATUS_SUCCESS;
}

// Copies one value's information record; the rules of ZwQueryValueKey and ZwEnumerateValueKey.
NTSTATUS Describe(const Value& v, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                  PULONG resultLength) {
  ULONG nameBytes = (ULONG)v.name.size() * 2;
  ULONG dataBytes = (ULONG)v.data.size();
  ULONG header, needed;
  switch (infoClass) {
    case KeyValuePartialInformation:
      header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      needed = header + dataBytes;
      break;
    case KeyValueBasicInformation:
      header = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      needed = header + nameBytes;
      break;
    case KeyValueFullInformation:
      header = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      needed = header + nameBytes + dataBytes;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  *resultLength = needed;
  if (length < header) return STATUS_BUFFER_TOO_SMALL;
  auto* out = (UCHAR*)info;
  auto put = [&](ULONG offset, const void* src, ULONG n) {
    if (offset >= length) return;
    memcpy(out + offset, src, std::min(n, length - offset));
  };
  if (infoClass == KeyValuePartialInformation) {
    auto* p = (PKEY_VALUE_PARTIAL_INFORMATION)info;
    p->TitleIndex = 0;
    p->Type = v.type;
    p->DataLength = dataBytes;
    put(header, v.data.data(), dataBytes);
  } else if (infoClass == KeyValueBasicInformation) {
    auto* p = (PKEY_VALUE_BASIC_INFORMATION)info;
    p->TitleIndex = 0;
    p->Type = v.type;
    p->NameLength = nameBytes;
    put(header, v.name.data(), nameBytes);
  } else {
    auto* p = (PKEY_VALUE_FULL_INFORMATION)info;
    p->TitleIndex = 0;
    p->Type = v.type;
    p->DataOffset = header + nameBytes;
    p->DataLength = dataBytes;
    p->NameLength = nameBytes;
    put(header, v.name.data(), nameBytes);
    put(header + nameBytes, v.data.data(), dataBytes);
  }
  return length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

std::u16string RelativeBase(ULONG relativeTo) {
  switch (relativeTo & 0xFF) {
    case RTL_REGISTRY_SERVICES:
      return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    case RTL_REGISTRY_CONTROL:
      return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\";
    case RTL_REGISTRY_WINDOWS_NT:
      return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\";
    case RTL_REGISTRY_DEVICEMAP:
      return u"\\Registry\\Machine\\Hardware\\DeviceMap\\";
    case RTL_REGISTRY_USER:
      return u"\\Registry\\User\\.Default\\";
    default:
      return u"";
  }
}

// Hands one value to a query-table entry: DIRECT storage or the query routine.
NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, PWSTR name, ULONG type, const UCHAR* data,
                 ULONG length, PVOID context) {
  if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) {
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
      auto* s = (PUNICODE_STRING)entry->EntryContext;
      ULONG bytes = length;
      while (bytes >= 2 && ((const WCHAR*)data)[bytes / 2 - 1] == 0) bytes -= 2;
      if (!s->Buffer) {
        s->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes + 2, 0x67655257 /* 'WReg' */);
        if (!s->Buffer) return STATUS_NO_MEMORY;
        s->MaximumLength = (USHORT)(bytes + 2);
      } else if (bytes + 2 > s->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
      }
      memcpy(s->Buffer, data, bytes);
      s->Buffer[bytes / 2] = 0;
      s->Length = (USHORT)bytes;
    } else if (length <= sizeof(ULONG)) {
      memcpy(entry->EntryContext, data, length);
    } else {
      auto* buffer = (LONG*)entry->EntryContext;
      LONG size = -buffer[0];
      if (size < (LONG)length) return STATUS_BUFFER_TOO_SMALL;
      memcpy(buffer, data, length);
    }
    return STATUS_SUCCESS;
  }
  if (!entry->QueryRoutine) return STATUS_SUCCESS;
  if (type == REG_MULTI_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    // Without NOEXPAND each string of a multi-string is delivered on its own, as REG_SZ.
    const WCHAR* p = (const WCHAR*)data;
    size_t n = length / 2, i = 0;
    while (i < n && p[i]) {
      size_t start = i;
      while (i < n && p[i]) ++i;
      NTSTATUS status =
          entry->QueryRoutine(name, REG_SZ, (PVOID)(p + start), (ULONG)((i - start + 1) * 2),
                              context, entry->EntryContext);
      if (!NT_SUCCESS(status)) return status;
      ++i;
    }
    return STATUS_SUCCESS;
  }
  if (type == REG_EXPAND_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) type = REG_SZ;
  return entry->QueryRoutine(name, type, (PVOID)data, length, context, entry->EntryContext);
}

}  // namespace

size_t ReportHandleLeaks(PDRIVER_OBJECT driver, const char* when) {
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  size_t count = 0;
  for (auto it = R().handles.begin(); it != R().handles.end();) {
    if (!driver || it->second.driver == driver) {
      Verify(Check::HandleLeak, std::string("registry key handle still open ") + when,
             it->second.openedAt);
      it = R().handles.erase(it);
      ++count;
    } else {
      ++it;
    }
  }
  return count;
}

void ClearRegistry() {
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  R().handles.clear();
  R().root = std::make_unique<Key>();
  R().graveyard.clear();
}

void RegistrySetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                      const void* data, size_t size) {
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  Key* key = Walk(R().root.get(), keyPath, true);
  Value* v = FindValue(key, name);
  if (!v) {
    key->values.push_back({name, type, {}});
    v = &key->values.back();
  }
  v->type = type;
  v->data.assign((const UCHAR*)data, (const UCHAR*)data + size);
}

void RegistrySetDword(const std::u16string& keyPath, const std::u16string& name, ULONG value) {
  RegistrySetValue(keyPath, name, REG_DWORD, &value, sizeof value);
}

void RegistrySetString(const std::u16string& keyPath, const std::u16string& name,
                       const std::u16string& value) {
  RegistrySetValue(keyPath, name, REG_SZ, value.c_str(), (value.size() + 1) * 2);
}

bool RegistryGetValue(const std::u16string& keyPath, const std::u16string& name, ULONG* type,
                      std::vector<UCHAR>* data) {
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  Key* key = Walk(R().root.get(), keyPath, false);
  Value* v = key ? FindValue(key, name) : nullptr;
  if (!v) return false;
  if (type) *type = v->type;
  if (data) *data = v->data;
  return true;
}

void RegistryDeleteKey(const std::u16string& keyPath) {
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  Key* key = Walk(R().root.get(), keyPath, false);
  if (!key || !key->parent) return;
  key->deleted = true;
  auto& siblings = key->parent->children;
  auto it = siblings.find(Upper(key->name));
  R().graveyard.push_back(std::move(it->second));
  siblings.erase(it);
}

}  // namespace wdmemu

using namespace wdmemu;

NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK, POBJECT_ATTRIBUTES attributes,
                   std::source_location loc) {
  return Open(key, attributes, false, nullptr, loc);
}

NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK, POBJECT_ATTRIBUTES attributes, ULONG,
                     PUNICODE_STRING, ULONG, PULONG disposition, std::source_location loc) {
  return Open(key, attributes, true, disposition, loc);
}

NTSTATUS ZwClose(HANDLE handle, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "ZwClose", loc);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  if (!R().handles.erase(handle)) return STATUS_INVALID_HANDLE;
  return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteKey(HANDLE handle, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "ZwDeleteKey", loc);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  Key* key = KeyOf(handle);
  if (!key) return STATUS_INVALID_HANDLE;
  if (!key->children.empty()) return STATUS_ACCESS_DENIED;
  if (!key->parent) return STATUS_ACCESS_DENIED;
  key->deleted = true;
  auto& siblings = key->parent->children;
  auto it = siblings.find(Upper(key->name));
  R().graveyard.push_back(std::move(it->second));
  siblings.erase(it);
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID info, ULONG length, PULONG resultLength, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "ZwQueryValueKey", loc);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  Key* key = KeyOf(handle);
  if (!key) return STATUS_INVALID_HANDLE;
  Value* v = FindValue(key, FromUnicode(name));
  if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
  return Describe(*v, infoClass, info, length, resultLength);
}

NTSTATUS ZwSetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG, ULONG type, PVOID data,
                       ULONG dataSize, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "ZwSetValueKey", loc);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  Key* key = KeyOf(handle);
  if (!key) return STATUS_INVALID_HANDLE;
  std::u16string text = FromUnicode(name);
  Value* v = FindValue(key, text);
  if (!v) {
    key->values.push_back({text, type, {}});
    v = &key->values.back();
  }
  v->type = type;
  v->data.assign((UCHAR*)data, (UCHAR*)data + dataSize);
  return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE handle, PUNICODE_STRING name, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "ZwDeleteValueKey", loc);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  Key* key = KeyOf(handle);
  if (!key) return STATUS_INVALID_HANDLE;
  std::u16string text = Upper(FromUnicode(name));
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (Upper(it->name) == text) {
      key->values.erase(it);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwEnumerateKey(HANDLE handle, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info,
                        ULONG length, PULONG resultLength, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "ZwEnumerateKey", loc);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  Key* key = KeyOf(handle);
  if (!key) return STATUS_INVALID_HANDLE;
  if (infoClass != KeyBasicInformation) return STATUS_INVALID_PARAMETER;
  if (index >= key->children.size()) return STATUS_NO_MORE_ENTRIES;
  auto it = key->children.begin();
  std::advance(it, index);
  const std::u16string& name = it->second->name;
  ULONG header = offsetof(KEY_BASIC_INFORMATION, Name);
  ULONG nameBytes = (ULONG)name.size() * 2;
  *resultLength = header + nameBytes;
  if (length < header) return STATUS_BUFFER_TOO_SMALL;
  auto* p = (PKEY_BASIC_INFORMATION)info;
  p->LastWriteTime.QuadPart = 0;
  p->TitleIndex = 0;
  p->NameLength = nameBytes;
  memcpy(p->Name, name.data(), std::min(nameBytes, length - header));
  return length < header + nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS ZwEnumerateValueKey(HANDLE handle, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass,
                             PVOID info, ULONG length, PULONG resultLength,
                             std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "ZwEnumerateValueKey", loc);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  Key* key = KeyOf(handle);
  if (!key) return STATUS_INVALID_HANDLE;
  if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
  return Describe(key->values[index], infoClass, info, length, resultLength);
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG keyType, ACCESS_MASK, PHANDLE key) {
  CheckIrql(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey", {});
  bool device = (keyType & PLUGPLAY_REGKEY_DEVICE) != 0;
  bool driver = (keyType & PLUGPLAY_REGKEY_DRIVER) != 0;
  if (device == driver || !IsPdo(pdo)) return STATUS_INVALID_PARAMETER;
  std::u16string path = device ? DeviceKeyPath(pdo) : DriverKeyPath(pdo);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  *key = NewHandle(Walk(R().root.get(), path, true), {});
  return STATUS_SUCCESS;
}

NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table,
                                PVOID context, PVOID, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "RtlQueryRegistryValues", loc);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  Key* base;
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    base = KeyOf((HANDLE)path);
    if (!base) return STATUS_INVALID_HANDLE;
  } else {
    std::u16string full = RelativeBase(relativeTo);
    for (PCWSTR p = path; p && *p; ++p) full += *p;
    base = Walk(R().root.get(), full, false);
    if (!base) {
      return (relativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    }
  }
  Key* key = base;
  for (PRTL_QUERY_REGISTRY_TABLE entry = table; entry->QueryRoutine || entry->Name; ++entry) {
    if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) {
      key = base;
    }
    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      key = Walk(base, entry->Name, false);
      if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry->QueryRoutine && (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE)) {
        NTSTATUS status =
            entry->QueryRoutine(entry->Name, REG_NONE, nullptr, 0, context, entry->EntryContext);
        if (!NT_SUCCESS(status)) return status;
      }
      continue;
    }
    if (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) {
      if (entry->QueryRoutine) {
        NTSTATUS status =
            entry->QueryRoutine(entry->Name, REG_NONE, nullptr, 0, context, entry->EntryContext);
        if (!NT_SUCCESS(status)) return status;
      }
      continue;
    }
    if (!entry->Name) {
      // Every value of the key, each through the routine.
      std::vector<Value> values = key->values;
      for (auto& v : values) {
        NTSTATUS status =
            Deliver(entry, v.name.data(), v.type, v.data.data(), (ULONG)v.data.size(), context);
        if (!NT_SUCCESS(status)) return status;
      }
      continue;
    }
    Value* v = FindValue(key, entry->Name);
    NTSTATUS status = STATUS_SUCCESS;
    if (v) {
      Value copy = *v;
      status = Deliver(entry, entry->Name, copy.type, copy.data.data(), (ULONG)copy.data.size(),
                       context);
      if (NT_SUCCESS(status) && (entry->Flags & RTL_QUERY_REGISTRY_DELETE)) {
        std::u16string name = Upper(entry->Name);
        for (auto it = key->values.begin(); it != key->values.end(); ++it) {
          if (Upper(it->name) == name) {
            key->values.erase(it);
            break;
          }
        }
      }
    } else if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    } else if (entry->DefaultType != REG_NONE) {
      ULONG length = entry->DefaultLength;
      if (length == 0 && (entry->DefaultType == REG_SZ || entry->DefaultType == REG_EXPAND_SZ) &&
          entry->DefaultData) {
        length = 2;
        for (auto* p = (const WCHAR*)entry->DefaultData; *p; ++p) length += 2;
      }
      status = Deliver(entry, entry->Name, entry->DefaultType, (const UCHAR*)entry->DefaultData,
                       length, context);
    }
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType,
                               PVOID valueData, ULONG valueLength, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "RtlWriteRegistryValue", loc);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  Key* key;
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    key = KeyOf((HANDLE)path);
    if (!key) return STATUS_INVALID_HANDLE;
  } else {
    std::u16string full = RelativeBase(relativeTo);
    for (PCWSTR p = path; p && *p; ++p) full += *p;
    key = Walk(R().root.get(), full, false);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  std::u16string name = valueName ? std::u16string(valueName) : std::u16string();
  Value* v = FindValue(key, name);
  if (!v) {
    key->values.push_back({name, valueType, {}});
    v = &key->values.back();
  }
  v->type = valueType;
  v->data.assign((UCHAR*)valueData, (UCHAR*)valueData + valueLength);
  return STATUS_SUCCESS;
}

NTSTATUS RtlCheckRegistryKey(ULONG relativeTo, PWSTR path, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "RtlCheckRegistryKey", loc);
  std::lock_guard<std::recursive_mutex> guard(R().lock);
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    return KeyOf((HANDLE)path) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
  }
  std::u16string full = RelativeBase(relativeTo);
  for (PCWSTR p = path; p && *p; ++p) full += *p;
  return Walk(R().root.get(), full, false) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
