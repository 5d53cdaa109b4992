// Serial ports: overlapped reads and writes with the serial driver's time-out rules, line
// settings, purge, line errors, escapes; and ReadFileEx/WriteFileEx/CancelIo for every handle.
//
// Each open port has a service thread. For a tty endpoint it moves bytes between the device and
// the port's buffers; for either endpoint it ends reads and writes whose time-outs pass.
// Completions are never delivered from inside the call that started the I/O: a completion
// routine is queued as an APC to the issuing thread, an overlapped event is set, or a
// synchronous caller is woken.
#include "comm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace win32emu {
namespace {

constexpr size_t kTtyReadChunk = 64 * 1024;
constexpr size_t kTtyBufferLimit = 4 * 1024 * 1024;  // stop reading the tty beyond this

// NTSTATUS values kept in OVERLAPPED.Internal, as the platform does.
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusUnsuccessful = 0xC0000001;

ULONG_PTR StatusOf(DWORD error) {
  switch (error) {
    case 0:
      return 0;
    case ERROR_OPERATION_ABORTED:
      return kStatusCancelled;
    case ERROR_GEN_FAILURE:
      return kStatusUnsuccessful;
    default:
      return 0xC0070000u | error;  // private to the emulation; decoded by ErrorOf
  }
}

DWORD ErrorOf(ULONG_PTR status) {
  if (status == 0) return 0;
  if (status == kStatusCancelled) return ERROR_OPERATION_ABORTED;
  if (status == kStatusUnsuccessful) return ERROR_GEN_FAILURE;
  return static_cast<DWORD>(status & 0xFFFF);
}

void StoreStatus(LPOVERLAPPED ov, ULONG_PTR status) {
  __atomic_store_n(&ov->Internal, status, __ATOMIC_RELEASE);
}
ULONG_PTR LoadStatus(LPOVERLAPPED ov) { return __atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE); }

speed_t SpeedFor(DWORD baud) {
  static const std::pair<DWORD, speed_t> table[] = {
      {110, B110},       {300, B300},       {600, B600},         {1200, B1200},
      {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},
      {38400, B38400},   {57600, B57600},   {115200, B115200},   {230400, B230400},
      {460800, B460800}, {921600, B921600}, {3000000, B3000000}, {4000000, B4000000}};
  for (auto& [rate, speed] : table)
    if (baud <= rate) return speed;
  return B4000000;
}

DCB DefaultDcb() {
  DCB d{};
  d.DCBlength = sizeof(DCB);
  d.BaudRate = CBR_115200;
  d.fBinary = 1;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  d.XonLim = 2048;
  d.XoffLim = 512;
  d.ByteSize = 8;
  d.Parity = NOPARITY;
  d.StopBits = ONESTOPBIT;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  return d;
}

}  // namespace

PortDevice::PortDevice(std::wstring portName, std::wstring fileName, std::shared_ptr<PortPeer> peer,
                       int fd, DWORD flags)
    : portName_(std::move(portName)),
      fileName_(std::move(fileName)),
      peer_(std::move(peer)),
      fd_(fd),
      flags_(flags),
      dcb_(DefaultDcb()) {
  if (fd_ >= 0) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ApplyLineSettings();
  }
  if (peer_) {
    std::lock_guard<std::recursive_mutex> cb(callbacks_);
    peer_->OnOpen(*this, fileName_);
  }
  service_ = std::thread([this] { Run(); });
}

PortDevice::~PortDevice() {
  {
    Lock lock(m_);
    stopping_ = true;
    // Closing the last handle cancels what is still pending; the routines still run.
    AbortLocked(reads_, ERROR_OPERATION_ABORTED);
    AbortLocked(writes_, ERROR_OPERATION_ABORTED);
  }
  Wake();
  service_.join();
  if (peer_) {
    std::lock_guard<std::recursive_mutex> cb(callbacks_);
    peer_->OnClose();
  }
  if (fd_ >= 0) close(fd_);
  if (wakeFd_ >= 0) close(wakeFd_);
  ReleasePortName(portName_);
}

void PortDevice::Wake() {
  cv_.notify_all();
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    ssize_t n = write(wakeFd_, &one, sizeof one);
    (void)n;
  }
}

// ---- requests ----

bool PortDevice::FailIfBrokenLocked() {
  if (disconnected_) {
    SetLastError(disconnectError_);
    return true;
  }
  if (errors_ && dcb_.fAbortOnError) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return true;
  }
  return false;
}

bool PortDevice::Start(const std::shared_ptr<IoRequest>& r) {
  Lock lock(m_);
  if (FailIfBrokenLocked()) return false;
  if (r->ov) {
    r->ov->InternalHigh = 0;
    StoreStatus(r->ov, STATUS_PENDING);
  }
  (r->isRead ? reads_ : writes_).push_back(r);
  PumpLocked(lock);
  Wake();
  return true;
}

void PortDevice::StartLocked(IoRequest& r, Steady::time_point now) {
  r.started = true;
  r.lastByte = now;
  auto ms = [](uint64_t n) { return std::chrono::milliseconds(std::min<uint64_t>(n, 1ull << 40)); };
  if (!r.isRead) {
    uint64_t total = uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * r.size +
                     timeouts_.WriteTotalTimeoutConstant;
    if (total) r.totalDeadline = now + ms(total);
    return;
  }
  const COMMTIMEOUTS& t = timeouts_;
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    r.mode = IoRequest::Mode::Immediate;  // whatever is buffered, possibly nothing
  } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
             t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
    r.mode = IoRequest::Mode::FirstByte;  // the first byte ends it, or the constant
    r.totalDeadline = now + ms(t.ReadTotalTimeoutConstant);
  } else {
    uint64_t total = uint64_t{t.ReadTotalTimeoutMultiplier} * r.size + t.ReadTotalTimeoutConstant;
    if (total) r.totalDeadline = now + ms(total);
    // The interval timer runs only once a byte has arrived; MAXDWORD here means none.
    if (t.ReadIntervalTimeout != MAXDWORD) r.interval = ms(t.ReadIntervalTimeout);
  }
}

void PortDevice::CompleteLocked(const std::shared_ptr<IoRequest>& r, DWORD error) {
  r->completed = true;
  r->error = error;
  DWORD bytes = error ? 0 : r->done;
  LPOVERLAPPED ov = r->ov;
  if (ov) {
    ov->InternalHigh = bytes;
    StoreStatus(ov, StatusOf(error));
  }
  switch (r->notify) {
    case IoRequest::Notify::Routine: {
      auto routine = r->routine;
      std::lock_guard<std::mutex> g(WaitLock());
      QueueApcLocked(*r->issuer, [routine, error, bytes, ov] { routine(error, bytes, ov); });
      break;
    }
    case IoRequest::Notify::Event:
      if (ov && ov->hEvent) SetEvent(ov->hEvent);
      cv_.notify_all();
      break;
    case IoRequest::Notify::Sync:
      cv_.notify_all();
      break;
  }
}

void PortDevice::AbortLocked(std::deque<std::shared_ptr<IoRequest>>& queue, DWORD error) {
  auto pending = std::move(queue);
  queue.clear();
  for (auto& r : pending) CompleteLocked(r, error);
}

void PortDevice::PumpReadsLocked(Steady::time_point now) {
  while (!reads_.empty()) {
    auto r = reads_.front();
    if (!r->started) StartLocked(*r, now);
    size_t n = std::min<size_t>(rx_.size() - rxHead_, r->size - r->done);
    if (n) {
      memcpy(r->readBuffer + r->done, rx_.data() + rxHead_, n);
      rxHead_ += n;
      r->done += static_cast<DWORD>(n);
      r->lastByte = now;
    }
    bool finished = r->done == r->size || r->mode == IoRequest::Mode::Immediate ||
                    (r->mode == IoRequest::Mode::FirstByte && r->done > 0);
    if (!finished) break;
    reads_.pop_front();
    CompleteLocked(r, 0);
  }
  if (rxHead_ == rx_.size()) {
    rx_.clear();
    rxHead_ = 0;
  } else if (rxHead_ > 65536 && rxHead_ > rx_.size() / 2) {
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<ptrdiff_t>(rxHead_));
    rxHead_ = 0;
  }
}

void PortDevice::DeliverToPeerLocked(Lock& lock) {
  // One thread hands writes to the peer at a time, so the peer sees them in order.
  if (delivering_) return;
  delivering_ = true;
  while (!writes_.empty() && !stalled_ && !disconnected_ && !stopping_) {
    auto r = writes_.front();
    writes_.pop_front();
    // As a serial driver does, take the bytes into a buffer of our own and complete the write
    // before they reach the far end: the peer's answer then always comes after the write's
    // completion in the issuer's APC queue, and the caller's buffer is free at once.
    std::vector<uint8_t> taken;
    if (r->size > r->done) taken.assign(r->writeBuffer + r->done, r->writeBuffer + r->size);
    r->done = r->size;
    CompleteLocked(r, 0);
    lock.unlock();
    {
      std::lock_guard<std::recursive_mutex> cb(callbacks_);
      if (!taken.empty()) peer_->OnWrite(taken.data(), taken.size());
    }
    lock.lock();
  }
  delivering_ = false;
}

void PortDevice::WriteToTtyLocked() {
  while (!writes_.empty()) {
    auto r = writes_.front();
    if (!r->started) StartLocked(*r, Steady::now());
    while (r->done < r->size) {
      ssize_t n = write(fd_, r->writeBuffer + r->done, r->size - r->done);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return;
        writes_.pop_front();
        CompleteLocked(r, LastErrorFromErrno(errno));
        goto next;
      }
      r->done += static_cast<DWORD>(n);
    }
    writes_.pop_front();
    CompleteLocked(r, 0);
  next:;
  }
}

void PortDevice::PumpLocked(Lock& lock) {
  auto now = Steady::now();
  PumpReadsLocked(now);
  if (peer_) {
    DeliverToPeerLocked(lock);
  } else if (fd_ >= 0) {
    WriteToTtyLocked();
  }
  now = Steady::now();
  if (!writes_.empty() && !writes_.front()->started) StartLocked(*writes_.front(), now);
}

Steady::time_point PortDevice::ExpireLocked(Steady::time_point now) {
  auto next = Steady::time_point::max();
  // A time-out is no error: the request succeeds with what it has.
  for (;;) {
    if (reads_.empty()) break;
    auto r = reads_.front();
    if (!r->started) StartLocked(*r, now);
    auto due = r->totalDeadline;
    if (r->interval.count() > 0 && r->done > 0) due = std::min(due, r->lastByte + r->interval);
    if (due > now) {
      next = std::min(next, due);
      break;
    }
    reads_.pop_front();
    CompleteLocked(r, 0);
    PumpReadsLocked(now);
  }
  for (;;) {
    if (writes_.empty()) break;
    auto r = writes_.front();
    if (!r->started) StartLocked(*r, now);
    if (r->totalDeadline > now) {
      next = std::min(next, r->totalDeadline);
      break;
    }
    writes_.pop_front();
    CompleteLocked(r, 0);
  }
  return next;
}

void PortDevice::Run() {
  Lock lock(m_);
  std::vector<uint8_t> chunk(fd_ >= 0 ? kTtyReadChunk : 0);
  while (!stopping_) {
    if (peer_ && !writes_.empty() && !stalled_) DeliverToPeerLocked(lock);
    auto next = ExpireLocked(Steady::now());
    if (fd_ < 0 || disconnected_) {
      if (next == Steady::time_point::max()) {
        cv_.wait(lock);
      } else {
        cv_.wait_until(lock, next);
      }
      continue;
    }
    pollfd fds[2] = {{fd_, 0, 0}, {wakeFd_, POLLIN, 0}};
    if (rx_.size() - rxHead_ < kTtyBufferLimit) fds[0].events |= POLLIN;
    if (!writes_.empty()) fds[0].events |= POLLOUT;
    timespec ts{}, *tsp = nullptr;
    if (next != Steady::time_point::max()) {
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next - Steady::now()).count();
      ns = std::max<int64_t>(ns, 0);
      ts.tv_sec = ns / 1000000000;
      ts.tv_nsec = ns % 1000000000;
      tsp = &ts;
    }
    lock.unlock();
    int rc = ppoll(fds, 2, tsp, nullptr);
    if (rc > 0 && (fds[1].revents & POLLIN)) {
      uint64_t count;
      ssize_t n = read(wakeFd_, &count, sizeof count);
      (void)n;
    }
    ssize_t got = 0;
    bool hangup = false;
    if (rc > 0 && (fds[0].revents & POLLIN)) {
      got = read(fd_, chunk.data(), chunk.size());
      if (got == 0 || (got < 0 && errno == EIO)) hangup = true;
    } else if (rc > 0 && (fds[0].revents & (POLLHUP | POLLERR))) {
      hangup = true;
    }
    lock.lock();
    if (got > 0) {
      rx_.insert(rx_.end(), chunk.data(), chunk.data() + got);
      PumpReadsLocked(Steady::now());
    }
    if (hangup && !stopping_) {
      // The far end of the line is gone, as when a USB serial device is pulled.
      disconnected_ = true;
      disconnectError_ = ERROR_GEN_FAILURE;
      AbortLocked(reads_, disconnectError_);
      AbortLocked(writes_, disconnectError_);
    }
    if (rc > 0 && (fds[0].revents & POLLOUT)) WriteToTtyLocked();
  }
}

BOOL PortDevice::CancelFrom(DWORD issuerTid, LPOVERLAPPED ov, bool anyThread) {
  Lock lock(m_);
  bool found = false;
  for (auto* queue : {&reads_, &writes_}) {
    std::deque<std::shared_ptr<IoRequest>> keep, cancel;
    for (auto& r : *queue) {
      bool match = (anyThread || r->issuer->tid == issuerTid) && (!ov || r->ov == ov);
      (match ? cancel : keep).push_back(r);
    }
    *queue = std::move(keep);
    found |= !cancel.empty();
    AbortLocked(cancel, ERROR_OPERATION_ABORTED);
  }
  PumpLocked(lock);
  Wake();
  if (ov && !found) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

void PortDevice::WaitCompleted(LPOVERLAPPED ov) {
  Lock lock(m_);
  cv_.wait(lock, [&] { return LoadStatus(ov) != STATUS_PENDING; });
}

// ---- StreamDevice ----

BOOL PortDevice::Read(LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov) {
  auto r = std::make_shared<IoRequest>();
  r->readBuffer = static_cast<uint8_t*>(buffer);
  r->size = toRead;
  r->ov = ov;
  r->issuer = CurrentThreadState();
  if (Overlapped() && !ov) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  r->notify = Overlapped() ? IoRequest::Notify::Event : IoRequest::Notify::Sync;
  if (Overlapped() && ov && ov->hEvent) ResetEvent(ov->hEvent);
  if (!Start(r)) return FALSE;
  Lock lock(m_);
  if (Overlapped() && !r->completed) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  cv_.wait(lock, [&] { return r->completed; });
  if (read) *read = r->error ? 0 : r->done;
  if (r->error) SetLastError(r->error);
  return r->error ? FALSE : TRUE;
}

BOOL PortDevice::Write(LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov) {
  auto r = std::make_shared<IoRequest>();
  r->isRead = false;
  r->writeBuffer = static_cast<const uint8_t*>(buffer);
  r->size = toWrite;
  r->ov = ov;
  r->issuer = CurrentThreadState();
  if (Overlapped() && !ov) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  r->notify = Overlapped() ? IoRequest::Notify::Event : IoRequest::Notify::Sync;
  if (Overlapped() && ov && ov->hEvent) ResetEvent(ov->hEvent);
  if (!Start(r)) return FALSE;
  Lock lock(m_);
  if (Overlapped() && !r->completed) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  cv_.wait(lock, [&] { return r->completed; });
  if (written) *written = r->error ? 0 : r->done;
  if (r->error) SetLastError(r->error);
  return r->error ? FALSE : TRUE;
}

BOOL PortDevice::Flush() {
  // Waits for the output to leave: held back by flow control, not by write time-outs.
  Lock lock(m_);
  for (;;) {
    if (disconnected_) {
      SetLastError(disconnectError_);
      return FALSE;
    }
    if (writes_.empty()) break;
    cv_.wait(lock);
  }
  if (fd_ >= 0) {
    lock.unlock();
    tcdrain(fd_);
  }
  return TRUE;
}

// ---- PortLink ----

void PortDevice::Push(const void* data, size_t size) {
  Lock lock(m_);
  if (stopping_ || disconnected_ || !size) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  rx_.insert(rx_.end(), bytes, bytes + size);
  PumpReadsLocked(Steady::now());
  Wake();
}

void PortDevice::Stall(bool stalled) {
  // Held writes go out from the service thread: a link call never calls back into the peer.
  Lock lock(m_);
  stalled_ = stalled;
  Wake();
}

void PortDevice::RaiseLineError(DWORD ceFlags) {
  Lock lock(m_);
  errors_ |= ceFlags;
  if (ceFlags && dcb_.fAbortOnError) {
    AbortLocked(reads_, ERROR_OPERATION_ABORTED);
    AbortLocked(writes_, ERROR_OPERATION_ABORTED);
  }
}

void PortDevice::Disconnect(DWORD error) {
  Lock lock(m_);
  if (disconnected_) return;
  disconnected_ = true;
  disconnectError_ = error ? error : ERROR_GEN_FAILURE;
  AbortLocked(reads_, disconnectError_);
  AbortLocked(writes_, disconnectError_);
  Wake();
}

// ---- settings and control ----

void PortDevice::ApplyLineSettings() {
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) return;  // not a tty: nothing to configure
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= sizes[std::clamp<int>(dcb_.ByteSize, 5, 8) - 5];
  switch (dcb_.Parity) {
    case ODDPARITY:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      tio.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (dcb_.StopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;
  if (dcb_.fOutxCtsFlow) tio.c_cflag |= CRTSCTS;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (dcb_.fOutX) tio.c_iflag |= IXON;
  if (dcb_.fInX) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = static_cast<cc_t>(dcb_.XonChar);
  tio.c_cc[VSTOP] = static_cast<cc_t>(dcb_.XoffChar);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetspeed(&tio, SpeedFor(dcb_.BaudRate));
  tcsetattr(fd_, TCSANOW, &tio);
}

BOOL PortDevice::GetState(LPDCB dcb) {
  Lock lock(m_);
  if (disconnected_) {
    SetLastError(disconnectError_);
    return FALSE;
  }
  *dcb = dcb_;
  return TRUE;
}

BOOL PortDevice::SetState(const DCB& d) {
  // The checks the serial driver makes; DCBlength is not one of them.
  bool valid = d.BaudRate != 0 && d.ByteSize >= 5 && d.ByteSize <= 8 && d.Parity <= SPACEPARITY &&
               d.StopBits <= TWOSTOPBITS && d.XonChar != d.XoffChar &&
               !(d.ByteSize == 5 && d.StopBits == TWOSTOPBITS) &&
               !(d.ByteSize > 5 && d.StopBits == ONE5STOPBITS);
  if (!valid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DCB dcb;
  COMMTIMEOUTS timeouts;
  {
    Lock lock(m_);
    if (disconnected_) {
      SetLastError(disconnectError_);
      return FALSE;
    }
    dcb_ = d;
    dcb_.DCBlength = sizeof(DCB);
    dcb = dcb_;
    timeouts = timeouts_;
  }
  if (fd_ >= 0) ApplyLineSettings();
  if (peer_) {
    std::lock_guard<std::recursive_mutex> cb(callbacks_);
    peer_->OnSettings(dcb, timeouts);
  }
  return TRUE;
}

BOOL PortDevice::GetTimeouts(LPCOMMTIMEOUTS t) {
  Lock lock(m_);
  *t = timeouts_;
  return TRUE;
}

BOOL PortDevice::SetTimeouts(const COMMTIMEOUTS& t) {
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
      t.ReadTotalTimeoutConstant == MAXDWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DCB dcb;
  {
    Lock lock(m_);
    if (disconnected_) {
      SetLastError(disconnectError_);
      return FALSE;
    }
    timeouts_ = t;
    dcb = dcb_;
  }
  if (peer_) {
    std::lock_guard<std::recursive_mutex> cb(callbacks_);
    peer_->OnSettings(dcb, t);
  }
  return TRUE;
}

BOOL PortDevice::Purge(DWORD flags) {
  if (flags & ~DWORD{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR}) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  {
    Lock lock(m_);
    if (disconnected_) {
      SetLastError(disconnectError_);
      return FALSE;
    }
    if (flags & PURGE_TXABORT) AbortLocked(writes_, ERROR_OPERATION_ABORTED);
    if (flags & PURGE_RXABORT) AbortLocked(reads_, ERROR_OPERATION_ABORTED);
    if (flags & PURGE_RXCLEAR) {
      rx_.clear();
      rxHead_ = 0;
    }
    if (fd_ >= 0 && (flags & (PURGE_TXCLEAR | PURGE_RXCLEAR))) {
      int which = (flags & PURGE_TXCLEAR) && (flags & PURGE_RXCLEAR) ? TCIOFLUSH
                  : (flags & PURGE_TXCLEAR)                          ? TCOFLUSH
                                                                     : TCIFLUSH;
      tcflush(fd_, which);
    }
    Wake();
  }
  if (peer_) {
    std::lock_guard<std::recursive_mutex> cb(callbacks_);
    peer_->OnPurge(flags);
  }
  return TRUE;
}

BOOL PortDevice::ClearError(LPDWORD errors, LPCOMSTAT stat) {
  Lock lock(m_);
  if (disconnected_) {
    SetLastError(disconnectError_);
    return FALSE;
  }
  if (errors) *errors = errors_;
  errors_ = 0;
  if (stat) {
    *stat = COMSTAT{};
    stat->fCtsHold = stalled_ ? 1 : 0;
    stat->cbInQue = static_cast<DWORD>(rx_.size() - rxHead_);
    int unread = 0;  // still in the tty, not yet taken by the service thread
    if (fd_ >= 0 && ioctl(fd_, FIONREAD, &unread) == 0 && unread > 0)
      stat->cbInQue += static_cast<DWORD>(unread);
    DWORD out = 0;
    for (auto& r : writes_) out += r->size - r->done;
    int queued = 0;
    if (fd_ >= 0 && ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0)
      out += static_cast<DWORD>(queued);
    stat->cbOutQue = out;
  }
  return TRUE;
}

BOOL PortDevice::Escape(DWORD function) {
  if (function < SETXOFF || function > CLRBREAK) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  {
    Lock lock(m_);
    if (disconnected_) {
      SetLastError(disconnectError_);
      return FALSE;
    }
  }
  if (fd_ >= 0) {
    // A pseudo-terminal has no modem lines; what it refuses is of no consequence.
    int bits = 0;
    switch (function) {
      case SETDTR:
      case CLRDTR:
        bits = TIOCM_DTR;
        break;
      case SETRTS:
      case CLRRTS:
        bits = TIOCM_RTS;
        break;
      case SETBREAK:
        ioctl(fd_, TIOCSBRK);
        break;
      case CLRBREAK:
        ioctl(fd_, TIOCCBRK);
        break;
      case SETXOFF:
        tcflow(fd_, TCOOFF);
        break;
      case SETXON:
        tcflow(fd_, TCOON);
        break;
      default:
        break;
    }
    if (bits) ioctl(fd_, (function == SETDTR || function == SETRTS) ? TIOCMBIS : TIOCMBIC, &bits);
  }
  if (peer_) {
    std::lock_guard<std::recursive_mutex> cb(callbacks_);
    peer_->OnEscape(function);
  }
  return TRUE;
}

BOOL PortDevice::ModemStatus(LPDWORD status) {
  Lock lock(m_);
  if (disconnected_) {
    SetLastError(disconnectError_);
    return FALSE;
  }
  DWORD s = MS_DSR_ON | MS_RLSD_ON | (stalled_ ? 0 : MS_CTS_ON);
  int bits = 0;
  if (fd_ >= 0 && ioctl(fd_, TIOCMGET, &bits) == 0) {
    s = 0;
    if (bits & TIOCM_CTS) s |= MS_CTS_ON;
    if (bits & TIOCM_DSR) s |= MS_DSR_ON;
    if (bits & TIOCM_RI) s |= MS_RING_ON;
    if (bits & TIOCM_CD) s |= MS_RLSD_ON;
  }
  *status = s;
  return TRUE;
}

}  // namespace win32emu

using win32emu::IoRequest;
using win32emu::PortDevice;

namespace {

std::shared_ptr<PortDevice> PortOf(HANDLE h) { return win32emu::LookupHandleAs<PortDevice>(h); }

template <class F>
BOOL WithPort(HANDLE h, F f) {
  auto port = PortOf(h);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return f(*port);
}

// ReadFileEx/WriteFileEx on a disk file: the transfer is done at once, the routine still waits
// for an alertable wait of the caller.
BOOL FileIoEx(const std::shared_ptr<win32emu::FileObject>& file, bool isRead, void* buffer,
              DWORD size, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (!(file->flags & FILE_FLAG_OVERLAPPED)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD needed = isRead ? GENERIC_READ : GENERIC_WRITE;
  if (!(file->access & (needed | GENERIC_ALL))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  off_t offset = static_cast<off_t>(ov->Offset) | (static_cast<off_t>(ov->OffsetHigh) << 32);
  ssize_t n =
      isRead ? pread(file->fd, buffer, size, offset) : pwrite(file->fd, buffer, size, offset);
  if (n < 0) {
    SetLastError(win32emu::LastErrorFromErrno(errno));
    return FALSE;
  }
  DWORD error = (isRead && n == 0 && size > 0) ? ERROR_HANDLE_EOF : 0;
  DWORD bytes = error ? 0 : static_cast<DWORD>(n);
  ov->InternalHigh = bytes;
  win32emu::StoreStatus(ov, win32emu::StatusOf(error));
  auto self = win32emu::CurrentThreadState();
  std::lock_guard<std::mutex> g(win32emu::WaitLock());
  win32emu::QueueApcLocked(*self, [routine, error, bytes, ov] { routine(error, bytes, ov); });
  return TRUE;
}

BOOL IoEx(HANDLE h, bool isRead, void* buffer, DWORD size, LPOVERLAPPED ov,
          LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  win32emu::LeaveIfTerminated();
  auto object = win32emu::LookupHandle(h);
  if (!ov || !routine || (!buffer && size)) {
    SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (auto file = std::dynamic_pointer_cast<win32emu::FileObject>(object))
    return FileIoEx(file, isRead, buffer, size, ov, routine);
  auto port = std::dynamic_pointer_cast<PortDevice>(object);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!port->Overlapped()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto r = std::make_shared<IoRequest>();
  r->isRead = isRead;
  r->readBuffer = static_cast<uint8_t*>(buffer);
  r->writeBuffer = static_cast<const uint8_t*>(buffer);
  r->size = size;
  r->ov = ov;
  r->notify = IoRequest::Notify::Routine;
  r->routine = routine;
  r->issuer = win32emu::CurrentThreadState();
  if (!port->Start(r)) return FALSE;
  SetLastError(0);
  return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI ReadFileEx(HANDLE h, LPVOID buffer, DWORD toRead, LPOVERLAPPED ov,
                       LPOVERLAPPED_COMPLETION_ROUTINE completion) {
  W32EMU_FAULT_POINT("ReadFileEx", FALSE);
  return IoEx(h, true, buffer, toRead, ov, completion);
}

BOOL WINAPI WriteFileEx(HANDLE h, LPCVOID buffer, DWORD toWrite, LPOVERLAPPED ov,
                        LPOVERLAPPED_COMPLETION_ROUTINE completion) {
  W32EMU_FAULT_POINT("WriteFileEx", FALSE);
  return IoEx(h, false, const_cast<LPVOID>(buffer), toWrite, ov, completion);
}

BOOL WINAPI CancelIo(HANDLE h) {
  W32EMU_FAULT_POINT("CancelIo", FALSE);
  auto object = win32emu::LookupHandle(h);
  if (std::dynamic_pointer_cast<win32emu::FileObject>(object)) return TRUE;  // nothing pends
  auto port = std::dynamic_pointer_cast<PortDevice>(object);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return port->CancelFrom(win32emu::CurrentThreadState()->tid, nullptr, false);
}

BOOL WINAPI CancelIoEx(HANDLE h, LPOVERLAPPED ov) {
  W32EMU_FAULT_POINT("CancelIoEx", FALSE);
  auto object = win32emu::LookupHandle(h);
  if (std::dynamic_pointer_cast<win32emu::FileObject>(object)) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  auto port = std::dynamic_pointer_cast<PortDevice>(object);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return port->CancelFrom(0, ov, true);
}

BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
  W32EMU_FAULT_POINT("GetOverlappedResult", FALSE);
  if (!ov) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (win32emu::LoadStatus(ov) == STATUS_PENDING) {
    if (!wait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    auto port = PortOf(h);
    if (!port) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    port->WaitCompleted(ov);
  }
  DWORD error = win32emu::ErrorOf(win32emu::LoadStatus(ov));
  if (transferred) *transferred = static_cast<DWORD>(ov->InternalHigh);
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb) {
  W32EMU_FAULT_POINT("GetCommState", FALSE);
  if (!dcb) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return WithPort(h, [&](PortDevice& p) { return p.GetState(dcb); });
}

BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb) {
  W32EMU_FAULT_POINT("SetCommState", FALSE);
  if (!dcb) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return WithPort(h, [&](PortDevice& p) { return p.SetState(*dcb); });
}

BOOL WINAPI GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
  W32EMU_FAULT_POINT("GetCommTimeouts", FALSE);
  if (!timeouts) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return WithPort(h, [&](PortDevice& p) { return p.GetTimeouts(timeouts); });
}

BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
  W32EMU_FAULT_POINT("SetCommTimeouts", FALSE);
  if (!timeouts) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return WithPort(h, [&](PortDevice& p) { return p.SetTimeouts(*timeouts); });
}

BOOL WINAPI SetupComm(HANDLE h, DWORD, DWORD) {
  W32EMU_FAULT_POINT("SetupComm", FALSE);
  // The emulated driver's buffers grow as needed; the sizes are only a recommendation.
  return WithPort(h, [](PortDevice&) { return TRUE; });
}

BOOL WINAPI PurgeComm(HANDLE h, DWORD flags) {
  W32EMU_FAULT_POINT("PurgeComm", FALSE);
  return WithPort(h, [&](PortDevice& p) { return p.Purge(flags); });
}

BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  W32EMU_FAULT_POINT("ClearCommError", FALSE);
  return WithPort(h, [&](PortDevice& p) { return p.ClearError(errors, stat); });
}

BOOL WINAPI EscapeCommFunction(HANDLE h, DWORD function) {
  W32EMU_FAULT_POINT("EscapeCommFunction", FALSE);
  return WithPort(h, [&](PortDevice& p) { return p.Escape(function); });
}

BOOL WINAPI GetCommModemStatus(HANDLE h, LPDWORD modemStatus) {
  W32EMU_FAULT_POINT("GetCommModemStatus", FALSE);
  if (!modemStatus) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return WithPort(h, [&](PortDevice& p) { return p.ModemStatus(modemStatus); });
}

}  // extern "C"
