// POSIX implementation of the platform layer (Linux builds).
#include "platform/file_stdio.h"
#include "platform/platform.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace qx::platform {

namespace {

TickSource g_tickSource = nullptr;
CalendarSource g_calendarSource = nullptr;
WallClockSource g_wallClockSource = nullptr;

// Converts the client's '\' paths for the system call.
bool systemPath(const char *path, char *out, size_t size) {
  size_t n = std::strlen(path);
  if (n + 1 > size) return false;
  for (size_t i = 0; i <= n; ++i) out[i] = path[i] == '\\' ? '/' : path[i];
  return true;
}

constexpr size_t kPathMax = 1024;

}  // namespace

uint32_t tickCount() {
  if (g_tickSource) return g_tickSource();
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

CalendarTime localTime() {
  if (g_calendarSource) return g_calendarSource();
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec};
}

uint64_t wallMicroseconds() {
  if (g_wallClockSource) return g_wallClockSource();
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u +
         static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void setTickSource(TickSource source) { g_tickSource = source; }
void setCalendarSource(CalendarSource source) { g_calendarSource = source; }
void setWallClockSource(WallClockSource source) { g_wallClockSource = source; }

SystemInfo systemInfo() {
  long page = sysconf(_SC_PAGESIZE);
  SystemInfo info{};
  info.pageSize = page > 0 ? static_cast<uint32_t>(page) : 0;
  info.minAppAddress = 0x10000;
  info.maxAppAddress = static_cast<uintptr_t>(-1) >> 1;
  info.allocationGranularity = info.pageSize;
  return info;
}

uint32_t processId() { return static_cast<uint32_t>(getpid()); }
uint32_t threadId() { return static_cast<uint32_t>(gettid()); }

FileHandle fileOpen(const char *path, OpenMode mode) {
  char p[kPathMax];
  if (!path || !systemPath(path, p, sizeof p)) return nullptr;
  const char *m = stdioMode(mode);
  FILE *f = std::fopen(p, m);
  if (!f) return nullptr;
  // Only a regular file counts as opened: a directory, a device or a pipe
  // never does, as only a disk file does on Windows.
  struct stat st {};
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    return nullptr;
  }
  return f;
}

long fileSize(FileHandle f) {
  if (!f) return -1;
  struct stat st {};
  if (fstat(fileno(static_cast<FILE *>(f)), &st) != 0) return -1;
  return static_cast<long>(st.st_size);
}

bool fileFlush(FileHandle f) {
  return f && std::fflush(static_cast<FILE *>(f)) == 0;
}

bool fileCommit(FileHandle f) {
  return fileFlush(f) && fsync(fileno(static_cast<FILE *>(f))) == 0;
}

bool fileRemove(const char *path) {
  char p[kPathMax];
  return path && systemPath(path, p, sizeof p) && std::remove(p) == 0;
}

FileReplace fileReplace(const char *from, const char *to, int *error) {
  char f[kPathMax], t[kPathMax];
  if (!from || !to || !systemPath(from, f, sizeof f) ||
      !systemPath(to, t, sizeof t)) {
    if (error) *error = ENAMETOOLONG;
    return FileReplace::Failed;
  }
  if (std::rename(f, t) == 0) return FileReplace::Replaced;
  if (error) *error = errno;
  return replaceOutcome(errno);
}

// A rename here is refused for an open file only when the system itself
// uses it (EBUSY) or runs it (ETXTBSY).
FileReplace replaceOutcome(int error) {
  return error == EBUSY || error == ETXTBSY ? FileReplace::Busy
                                            : FileReplace::Failed;
}

bool makeDirectory(const char *path) {
  char p[kPathMax];
  if (!path || !systemPath(path, p, sizeof p)) return false;
  if (mkdir(p, 0755) == 0) return true;
  struct stat st {};
  return errno == EEXIST && stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

bool fileExists(const char *path) {
  char p[kPathMax];
  struct stat st {};
  return path && systemPath(path, p, sizeof p) && stat(p, &st) == 0;
}

bool fileMakeWritable(const char *path) {
  char p[kPathMax];
  struct stat st {};
  return path && systemPath(path, p, sizeof p) && stat(p, &st) == 0 &&
         chmod(p, st.st_mode | S_IWUSR) == 0;
}

bool workingDirectory(char *buffer, size_t size) {
  if (!buffer || size == 0) return false;
  if (!getcwd(buffer, size)) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

Socket udpOpen() {
  // Non-blocking from its creation: there is no later switch that could fail.
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  if (s < 0) return kNoSocket;
  // The system caps the size at its own limit; less is no failure.
  const int bytes = kDatagramBufferBytes;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  return static_cast<Socket>(s);
}

bool socketSetNonBlocking(Socket s) {
  int fd = static_cast<int>(s);
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool socketBind(Socket s, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(static_cast<int>(s), reinterpret_cast<sockaddr *>(&a),
              sizeof a) == 0;
}

int socketReceive(Socket s, void *buffer, int size) {
  ssize_t n = recv(static_cast<int>(s), buffer, static_cast<size_t>(size), 0);
  return n < 0 ? receiveOutcome(errno) : static_cast<int>(n);
}

// Linux cuts a datagram larger than the buffer and reports no error for it;
// a refused earlier send shows as ECONNREFUSED where reports are on.
int receiveOutcome(int error) {
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return kNoDatagram;
    case ECONNREFUSED:
    case ECONNRESET:
    case ENETRESET:
    case EMSGSIZE:
    case EINTR:
      return kDatagramLost;
    default:
      return kReceiveFailed;
  }
}

int socketSendTo(Socket s, const char *address, uint16_t port, const void *data,
                 int size) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, address, &a.sin_addr) != 1) return -1;
  ssize_t n = sendto(static_cast<int>(s), data, static_cast<size_t>(size), 0,
                     reinterpret_cast<sockaddr *>(&a), sizeof a);
  return n < 0 ? -1 : static_cast<int>(n);
}

void socketClose(Socket s) {
  if (s != kNoSocket) close(static_cast<int>(s));
}

const char *lastSocketError() {
  switch (errno) {
    case EADDRINUSE:
      return "EADDRINUSE";
    case EADDRNOTAVAIL:
      return "EADDRNOTAVAIL";
    case EACCES:
      return "EACCES";
    case EAGAIN:
      return "EWOULDBLOCK";
    case EBADF:
      return "EBADF";
    case ECONNREFUSED:
      return "ECONNREFUSED";
    case EINVAL:
      return "EINVAL";
    case EMFILE:
      return "EMFILE";
    case ENETUNREACH:
      return "ENETUNREACH";
    default:
      return "socket error";
  }
}

int lastSocketErrorNumber() { return errno; }

int timedOutErrorNumber() { return ETIMEDOUT; }

Socket tcpOpen() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return kNoSocket;
  if (!socketSetNonBlocking(s)) {
    close(s);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

ConnectState tcpConnect(Socket s, const char *address, uint16_t port,
                        int *error) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, address, &a.sin_addr) != 1) {
    *error = EINVAL;
    return ConnectState::Failed;
  }
  if (connect(static_cast<int>(s), reinterpret_cast<sockaddr *>(&a),
              sizeof a) == 0)
    return ConnectState::Connected;
  if (errno == EINPROGRESS || errno == EINTR) return ConnectState::Pending;
  *error = errno;
  return ConnectState::Failed;
}

ConnectState tcpConnectResult(Socket s, int *error) {
  pollfd p{static_cast<int>(s), POLLOUT, 0};
  const int ready = poll(&p, 1, 0);
  if (ready < 0) {
    *error = errno;
    return ConnectState::Failed;
  }
  if (ready == 0) return ConnectState::Pending;
  int code = 0;
  socklen_t length = sizeof code;
  if (getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &code, &length) !=
      0)
    code = errno;
  if (code == 0) return ConnectState::Connected;
  *error = code;
  return ConnectState::Failed;
}

int tcpSend(Socket s, const void *data, int size) {
  // MSG_NOSIGNAL: a peer that has gone away gives an error, not SIGPIPE in
  // the host's process.
  const ssize_t n =
      send(static_cast<int>(s), data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

int tcpReceive(Socket s, void *buffer, int size) {
  const ssize_t n =
      recv(static_cast<int>(s), buffer, static_cast<size_t>(size), 0);
  if (n > 0) return static_cast<int>(n);
  if (n == 0) return kStreamClosed;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR
             ? kStreamPending
             : kStreamFailed;
}

Library libraryOpen(const char *path) {
  char p[kPathMax];
  if (!path || !systemPath(path, p, sizeof p)) return nullptr;
  return dlopen(p, RTLD_NOW | RTLD_LOCAL);
}

void *librarySymbol(Library lib, const char *name) {
  return lib ? dlsym(lib, name) : nullptr;
}

void libraryClose(Library lib) {
  if (lib) dlclose(lib);
}

// ---- fault containment ------------------------------------------------------
//
// The fault signals are process-wide, the guards are per thread. While any
// thread runs a guarded step our handler owns the fault signals: a fault in
// a thread that is inside a guard jumps back to that thread's runGuarded; a
// fault in any other thread belongs to the host and goes to the handler the
// host had installed (or takes the default action). The last guard to end
// puts the host's handlers back in place.

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];

// The innermost active guard of this thread; null while it has none. Static
// TLS, so reading it in the signal handler never allocates.
thread_local sigjmp_buf *t_guard __attribute__((tls_model("initial-exec"))) =
    nullptr;

// Guards running in all threads. The first to begin installs our handlers
// and the last to end puts the host's back; both happen under the lock, so
// a guard that begins while another thread's last one is still restoring
// waits for it, and never saves our own handlers as the host's.
std::mutex g_guardLock;
int g_activeGuards = 0;
struct sigaction g_hostActions[kSignalCount];  // while ours are installed

// A fault that is not ours: do what the host's handler would have done.
void forwardToHost(int sig, siginfo_t *info, void *context) {
  int i = 0;
  while (i < kSignalCount && kFaultSignals[i] != sig) ++i;
  if (i == kSignalCount) return;
  const struct sigaction &host = g_hostActions[i];
  if ((host.sa_flags & SA_SIGINFO) && host.sa_sigaction) {
    host.sa_sigaction(sig, info, context);
    return;
  }
  if (host.sa_handler != SIG_DFL && host.sa_handler != SIG_IGN) {
    host.sa_handler(sig);
    return;
  }
  // A fault the host ignores is dropped only when it was sent, not caused:
  // a faulting instruction cannot be skipped.
  const bool sent = info && info->si_code <= 0;
  if (host.sa_handler == SIG_IGN && sent) return;
  // The default action: a caused fault happens again when the instruction
  // is retried, a sent one is raised again.
  signal(sig, SIG_DFL);
  if (sent) raise(sig);
}

void onFault(int sig, siginfo_t *info, void *context) {
  if (t_guard) siglongjmp(*t_guard, 1);
  forwardToHost(sig, info, context);
}

void installHandlers() {
  struct sigaction ours {};
  ours.sa_sigaction = onFault;
  sigemptyset(&ours.sa_mask);
  // On the thread's alternate stack where it has one, as a host's own
  // handler for stack overflows in its threads would run.
  ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  for (int i = 0; i < kSignalCount; ++i)
    sigaction(kFaultSignals[i], &ours, &g_hostActions[i]);
}

void restoreHandlers() {
  for (int i = 0; i < kSignalCount; ++i)
    sigaction(kFaultSignals[i], &g_hostActions[i], nullptr);
}

}  // namespace

bool runGuarded(GuardedStep step, void *context) {
  {
    std::lock_guard<std::mutex> lock(g_guardLock);
    if (g_activeGuards++ == 0) installHandlers();
  }
  sigjmp_buf here;
  sigjmp_buf *outer = t_guard;
  volatile bool completed = false;
  if (sigsetjmp(here, 1) == 0) {
    t_guard = &here;
    step(context);
    completed = true;
  }
  t_guard = outer;
  if (!completed) releaseScreen();
  {
    std::lock_guard<std::mutex> lock(g_guardLock);
    if (--g_activeGuards == 0) restoreHandlers();
  }
  return completed;
}

}  // namespace qx::platform
