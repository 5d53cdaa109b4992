// Files and directories on the world's drives, with Windows access, sharing and dispositions.
#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <list>
#include <mutex>

namespace win32emu {
namespace {

// Open files by identity, for the sharing rules that span handles.
struct ShareTable {
  std::mutex lock;
  std::list<FileObject*> open;
};
ShareTable& Shares() {
  static ShareTable* table = new ShareTable;
  return *table;
}

DWORD ErrorFromErrno(int e) {
  switch (e) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

bool ParentExists(const std::string& host) {
  auto slash = host.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return true;
  struct stat st;
  return stat(host.substr(0, slash).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Windows reports a missing file as 2 and a missing directory on the way as 3.
DWORD MissingError(const std::string& host) {
  return ParentExists(host) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool ShareCompatible(const FileObject& a, DWORD access, DWORD share) {
  auto wants = [](DWORD acc, DWORD bit) {
    return (acc & (GENERIC_ALL | (bit == FILE_SHARE_READ ? GENERIC_READ : GENERIC_WRITE))) != 0;
  };
  if (wants(access, FILE_SHARE_READ) && !(a.share & FILE_SHARE_READ)) return false;
  if (wants(access, FILE_SHARE_WRITE) && !(a.share & FILE_SHARE_WRITE)) return false;
  if (wants(a.access, FILE_SHARE_READ) && !(share & FILE_SHARE_READ)) return false;
  if (wants(a.access, FILE_SHARE_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
  return true;
}

}  // namespace

FileObject::~FileObject() {
  if (fd >= 0) {
    std::lock_guard<std::mutex> g(Shares().lock);
    Shares().open.remove(this);
    close(fd);
  }
}

void FileObject::OnHandleClosed(HANDLE) {}

std::shared_ptr<FileObject> OpenFile(const std::string& host, DWORD access, DWORD share,
                                     DWORD disposition, DWORD flags, DWORD* error, bool* existed) {
  *existed = false;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (disposition == TRUNCATE_EXISTING && !(access & (GENERIC_WRITE | GENERIC_ALL))) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  struct stat st;
  bool exists = stat(host.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  if (!exists && !ParentExists(host)) {
    *error = ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  switch (disposition) {
    case CREATE_NEW:
      if (exists) {
        *error = ERROR_FILE_EXISTS;
        return nullptr;
      }
      break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
      if (!exists) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
      }
      break;
    default:
      break;
  }
  bool read = access & (GENERIC_READ | GENERIC_ALL);
  bool write = access & (GENERIC_WRITE | GENERIC_ALL);
  int oflags = O_CLOEXEC | ((read && write) ? O_RDWR : write ? O_WRONLY : O_RDONLY);
  if (!exists) oflags |= O_CREAT;
  int fd = open(host.c_str(), oflags, 0666);
  if (fd < 0) {
    *error = errno == ENOENT ? MissingError(host) : ErrorFromErrno(errno);
    return nullptr;
  }
  fstat(fd, &st);
  auto file = std::make_shared<FileObject>();
  file->access = access;
  file->share = share;
  file->flags = flags;
  file->device = st.st_dev;
  file->inode = st.st_ino;
  file->hostPath = host;
  {
    std::lock_guard<std::mutex> g(Shares().lock);
    for (FileObject* other : Shares().open) {
      if (other->device == file->device && other->inode == file->inode &&
          !ShareCompatible(*other, access, share)) {
        close(fd);
        if (!exists) unlink(host.c_str());
        *error = ERROR_SHARING_VIOLATION;
        return nullptr;
      }
    }
    file->fd = fd;
    Shares().open.push_back(file.get());
  }
  bool truncate = exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
  if (truncate && ftruncate(fd, 0) != 0) {
    *error = ErrorFromErrno(errno);
    return nullptr;
  }
  *existed = exists;
  *error = 0;
  return file;
}

DWORD LastErrorFromErrno(int e) { return ErrorFromErrno(e); }

}  // namespace win32emu

using win32emu::FileObject;

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD flags, HANDLE) {
  W32EMU_FAULT_POINT("CreateFileW", INVALID_HANDLE_VALUE);
  if (!name || !*name) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring_view view(name);
  if (view.rfind(L"\\\\.\\", 0) == 0)
    return win32emu::OpenDevice(view.substr(4), access, share, disposition, flags);
  std::string host = win32emu::HostPath(view);
  if (host.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  DWORD error = 0;
  bool existed = false;
  auto file = win32emu::OpenFile(host, access, share, disposition, flags, &error, &existed);
  if (!file) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  bool reportsExisting = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
  SetLastError(existed && reportsExisting ? ERROR_ALREADY_EXISTS : 0);
  return win32emu::InsertHandle(std::move(file));
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov) {
  W32EMU_FAULT_POINT("ReadFile", FALSE);
  if (read) *read = 0;
  auto object = win32emu::LookupHandle(h);
  auto file = std::dynamic_pointer_cast<FileObject>(object);
  if (!file) {
    if (auto dev = std::dynamic_pointer_cast<win32emu::StreamDevice>(object))
      return dev->Read(buffer, toRead, read, ov);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(file->access & (GENERIC_READ | GENERIC_ALL))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  ssize_t n =
      ov ? pread(file->fd, buffer, toRead,
                 static_cast<off_t>(ov->Offset) | (static_cast<off_t>(ov->OffsetHigh) << 32))
         : ::read(file->fd, buffer, toRead);
  if (n < 0) {
    SetLastError(win32emu::LastErrorFromErrno(errno));
    return FALSE;
  }
  if (read) *read = static_cast<DWORD>(n);
  if (ov) ov->InternalHigh = static_cast<ULONG_PTR>(n);
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov) {
  W32EMU_FAULT_POINT("WriteFile", FALSE);
  if (written) *written = 0;
  auto object = win32emu::LookupHandle(h);
  auto file = std::dynamic_pointer_cast<FileObject>(object);
  if (!file) {
    if (auto dev = std::dynamic_pointer_cast<win32emu::StreamDevice>(object))
      return dev->Write(buffer, toWrite, written, ov);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(file->access & (GENERIC_WRITE | GENERIC_ALL))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const char* p = static_cast<const char*>(buffer);
  DWORD done = 0;
  off_t offset =
      ov ? (static_cast<off_t>(ov->Offset) | (static_cast<off_t>(ov->OffsetHigh) << 32)) : 0;
  while (done < toWrite) {
    ssize_t n = ov ? pwrite(file->fd, p + done, toWrite - done, offset + done)
                   : ::write(file->fd, p + done, toWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(win32emu::LastErrorFromErrno(errno));
      if (written) *written = done;
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (written) *written = done;
  if (ov) ov->InternalHigh = done;
  return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE h) {
  W32EMU_FAULT_POINT("FlushFileBuffers", FALSE);
  auto object = win32emu::LookupHandle(h);
  auto file = std::dynamic_pointer_cast<FileObject>(object);
  if (!file) {
    if (auto dev = std::dynamic_pointer_cast<win32emu::StreamDevice>(object)) return dev->Flush();
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(file->access & (GENERIC_WRITE | GENERIC_ALL))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // The data is in the host's page cache; that is as durable as the emulated world needs.
  return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE h, PLARGE_INTEGER size) {
  W32EMU_FAULT_POINT("GetFileSizeEx", FALSE);
  auto file = win32emu::LookupHandleAs<FileObject>(h);
  struct stat st;
  if (!file || fstat(file->fd, &st) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  size->QuadPart = st.st_size;
  return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE h, LPDWORD sizeHigh) {
  if (DWORD injected = win32emu::InjectedFailure("GetFileSize")) {
    SetLastError(injected);
    return INVALID_FILE_SIZE;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h, &size)) return INVALID_FILE_SIZE;
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(size.QuadPart >> 32);
  // INVALID_FILE_SIZE is then an error only when the last error is set.
  SetLastError(0);
  return static_cast<DWORD>(size.QuadPart);
}

DWORD WINAPI SetFilePointer(HANDLE h, LONG distance, PLONG distanceHigh, DWORD method) {
  auto file = win32emu::LookupHandleAs<FileObject>(h);
  if (!file || method > FILE_END) {
    SetLastError(file ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  off_t offset = distanceHigh
                     ? ((static_cast<off_t>(*distanceHigh) << 32) | static_cast<uint32_t>(distance))
                     : distance;
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  off_t result = lseek(file->fd, offset, whence);
  if (result < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_FILE_SIZE;
  }
  if (distanceHigh) *distanceHigh = static_cast<LONG>(result >> 32);
  SetLastError(0);
  return static_cast<DWORD>(result);
}

DWORD WINAPI GetFileAttributesW(LPCWSTR name) {
  W32EMU_FAULT_POINT("GetFileAttributesW", INVALID_FILE_ATTRIBUTES);
  std::string host = name ? win32emu::HostPath(name) : std::string();
  struct stat st;
  if (host.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (stat(host.c_str(), &st) != 0) {
    SetLastError(errno == ENOENT ? win32emu::MissingErrorFor(host) : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  if (access(host.c_str(), W_OK) != 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES) {
  W32EMU_FAULT_POINT("CreateDirectoryW", FALSE);
  std::string host = name ? win32emu::HostPath(name) : std::string();
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  if (host.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  if (mkdir(host.c_str(), 0777) != 0) {
    SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : win32emu::LastErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR name) {
  W32EMU_FAULT_POINT("DeleteFileW", FALSE);
  std::string host = name ? win32emu::HostPath(name) : std::string();
  if (host.empty() || unlink(host.c_str()) != 0) {
    SetLastError(host.empty()      ? ERROR_INVALID_NAME
                 : errno == ENOENT ? win32emu::MissingErrorFor(host)
                                   : win32emu::LastErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"

namespace win32emu {
DWORD MissingErrorFor(const std::string& host) { return MissingError(host); }
}  // namespace win32emu
