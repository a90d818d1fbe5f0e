// Win32 implementation of the platform layer (qxcl.dll).
#include "platform/file_stdio.h"
#include "platform/platform.h"

// Winsock's headers must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <direct.h>
#include <io.h>
#include <windows.h>
#include <cstdio>
#include <cstring>

namespace qx::platform {

namespace {

TickSource g_tickSource = nullptr;
CalendarSource g_calendarSource = nullptr;
WorkClockSource g_workClockSource = nullptr;

// Winsock is started on the first socket and stays up for the life of the
// library; WSAStartup counts its callers, so the host's own use is unaffected.
bool ensureWinsock() {
  static bool started = false;
  if (!started) {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  return started;
}

}  // namespace

uint32_t tickCount() {
  return g_tickSource ? g_tickSource() : static_cast<uint32_t>(GetTickCount());
}

CalendarTime localTime() {
  if (g_calendarSource) return g_calendarSource();
  SYSTEMTIME t;
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

uint64_t workMicroseconds() {
  if (g_workClockSource) return g_workClockSource();
  static const uint64_t frequency = [] {
    LARGE_INTEGER f;
    return QueryPerformanceFrequency(&f) && f.QuadPart > 0
               ? static_cast<uint64_t>(f.QuadPart)
               : uint64_t{1000};
  }();
  LARGE_INTEGER now;
  if (!QueryPerformanceCounter(&now)) return uint64_t{GetTickCount()} * 1000u;
  const uint64_t counts = static_cast<uint64_t>(now.QuadPart);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  return counts / frequency * 1000000u +
         counts % frequency * 1000000u / frequency;
}

void setTickSource(TickSource source) { g_tickSource = source; }
void setCalendarSource(CalendarSource source) { g_calendarSource = source; }
void setWorkClockSource(WorkClockSource source) { g_workClockSource = source; }

SystemInfo systemInfo() {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  SystemInfo info{};
  info.pageSize = si.dwPageSize;
  info.minAppAddress =
      reinterpret_cast<uintptr_t>(si.lpMinimumApplicationAddress);
  info.maxAppAddress =
      reinterpret_cast<uintptr_t>(si.lpMaximumApplicationAddress);
  info.allocationGranularity = si.dwAllocationGranularity;
  return info;
}

uint32_t processId() { return GetCurrentProcessId(); }
uint32_t threadId() { return GetCurrentThreadId(); }

FileHandle fileOpen(const char *path, OpenMode mode) {
  if (!path) return nullptr;
  const char *m = stdioMode(mode);
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return nullptr;
  return std::fopen(path, m);
}

long fileSize(FileHandle f) {
  if (!f) return -1;
  FILE *file = static_cast<FILE *>(f);
  long here = std::ftell(file);
  if (here < 0 || std::fseek(file, 0, SEEK_END) != 0) return -1;
  long size = std::ftell(file);
  std::fseek(file, here, SEEK_SET);
  return size;
}

bool fileFlush(FileHandle f) {
  return f && std::fflush(static_cast<FILE *>(f)) == 0;
}

bool fileCommit(FileHandle f) {
  return fileFlush(f) && _commit(_fileno(static_cast<FILE *>(f))) == 0;
}

bool fileRemove(const char *path) { return path && DeleteFileA(path) != 0; }

bool fileReplace(const char *from, const char *to) {
  return from && to &&
         MoveFileExA(from, to,
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool makeDirectory(const char *path) {
  if (!path) return false;
  if (CreateDirectoryA(path, nullptr)) return true;
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool fileExists(const char *path) {
  return path && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool fileMakeWritable(const char *path) {
  if (!path) return false;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  return SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY) != 0;
}

bool workingDirectory(char *buffer, size_t size) {
  if (!buffer || size == 0) return false;
  DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(size), buffer);
  if (n == 0 || n >= size) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

Socket udpOpen() {
  if (!ensureWinsock()) return kNoSocket;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return kNoSocket;
  // A socket that stays blocking could hold the game in a receive: one that
  // cannot be switched counts as not created.
  if (!socketSetNonBlocking(static_cast<Socket>(s))) {
    closesocket(s);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

bool socketSetNonBlocking(Socket s) {
  u_long on = 1;
  return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0;
}

bool socketBind(Socket s, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr *>(&a),
              sizeof a) == 0;
}

int socketReceive(Socket s, void *buffer, int size) {
  int n = recv(static_cast<SOCKET>(s), static_cast<char *>(buffer), size, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int socketSendTo(Socket s, const char *address, uint16_t port, const void *data,
                 int size) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = inet_addr(address);
  if (a.sin_addr.s_addr == INADDR_NONE) return -1;
  int n = sendto(static_cast<SOCKET>(s), static_cast<const char *>(data), size,
                 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
  return n == SOCKET_ERROR ? -1 : n;
}

void socketClose(Socket s) {
  if (s != kNoSocket) closesocket(static_cast<SOCKET>(s));
}

const char *lastSocketError() {
  switch (WSAGetLastError()) {
    case WSAEADDRINUSE:
      return "WSAEADDRINUSE";
    case WSAEADDRNOTAVAIL:
      return "WSAEADDRNOTAVAIL";
    case WSAEACCES:
      return "WSAEACCES";
    case WSAEWOULDBLOCK:
      return "WSAEWOULDBLOCK";
    case WSAENOTSOCK:
      return "WSAENOTSOCK";
    case WSAECONNREFUSED:
      return "WSAECONNREFUSED";
    case WSAEINVAL:
      return "WSAEINVAL";
    case WSAEMFILE:
      return "WSAEMFILE";
    case WSAENETUNREACH:
      return "WSAENETUNREACH";
    case WSANOTINITIALISED:
      return "WSANOTINITIALISED";
    default:
      return "socket error";
  }
}

int lastSocketErrorNumber() { return WSAGetLastError(); }

int timedOutErrorNumber() { return WSAETIMEDOUT; }

Socket tcpOpen() {
  if (!ensureWinsock()) return kNoSocket;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kNoSocket;
  if (!socketSetNonBlocking(static_cast<Socket>(s))) {
    closesocket(s);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

ConnectState tcpConnect(Socket s, const char *address, uint16_t port,
                        int *error) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = inet_addr(address);
  if (a.sin_addr.s_addr == INADDR_NONE) {
    *error = WSAEINVAL;
    return ConnectState::Failed;
  }
  if (connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr *>(&a),
              sizeof a) == 0)
    return ConnectState::Connected;
  const int code = WSAGetLastError();
  if (code == WSAEWOULDBLOCK || code == WSAEINPROGRESS)
    return ConnectState::Pending;
  *error = code;
  return ConnectState::Failed;
}

// select with a zero timeout: writable means connected, the exception set
// means the connect failed.
ConnectState tcpConnectResult(Socket s, int *error) {
  const SOCKET h = static_cast<SOCKET>(s);
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(h, &writable);
  FD_SET(h, &failed);
  timeval none{0, 0};
  const int ready = select(0, nullptr, &writable, &failed, &none);
  if (ready == SOCKET_ERROR) {
    *error = WSAGetLastError();
    return ConnectState::Failed;
  }
  if (ready == 0) return ConnectState::Pending;
  if (FD_ISSET(h, &failed)) {
    int code = 0;
    int length = sizeof code;
    if (getsockopt(h, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&code),
                   &length) != 0 ||
        code == 0)
      code = WSAECONNREFUSED;
    *error = code;
    return ConnectState::Failed;
  }
  return ConnectState::Connected;
}

int tcpSend(Socket s, const void *data, int size) {
  const int n =
      send(static_cast<SOCKET>(s), static_cast<const char *>(data), size, 0);
  if (n != SOCKET_ERROR) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int tcpReceive(Socket s, void *buffer, int size) {
  const int n =
      recv(static_cast<SOCKET>(s), static_cast<char *>(buffer), size, 0);
  if (n > 0) return n;
  if (n == 0) return kStreamClosed;
  return WSAGetLastError() == WSAEWOULDBLOCK ? kStreamPending : kStreamFailed;
}

Library libraryOpen(const char *path) {
  return path ? reinterpret_cast<Library>(LoadLibraryA(path)) : nullptr;
}

void *librarySymbol(Library lib, const char *name) {
  if (!lib) return nullptr;
  return reinterpret_cast<void *>(
      GetProcAddress(static_cast<HMODULE>(lib), name));
}

void libraryClose(Library lib) {
  if (lib) FreeLibrary(static_cast<HMODULE>(lib));
}

// ---- fault containment ------------------------------------------------------
//
// An x86 structured-exception frame is pushed onto the thread's handler chain
// (fs:[0]) for the duration of the step. Handlers nearer the fault (the host's
// own, inside its callbacks) see the exception first; one that reaches our
// frame is a fault of the step. The handler jumps back into runGuarded with
// __builtin_longjmp, which restores the stack and frame pointers; the chain
// head is then put back to the host's frame, dropping the dispatcher's
// records that lay on the abandoned stack.

#if defined(_M_IX86) || defined(__i386__)

namespace {

struct GuardFrame {
  // Layout of an exception registration record: the chain link, then the
  // handler. It must be the first member, as the dispatcher passes its
  // address back to the handler.
  GuardFrame *next;
  void *handler;
  void *resume[5];  // __builtin_setjmp buffer
};

GuardFrame *chainHead() {
  GuardFrame *head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void setChainHead(GuardFrame *head) {
  __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

extern "C" EXCEPTION_DISPOSITION __cdecl guardHandler(EXCEPTION_RECORD *record,
                                                      void *frame, CONTEXT *,
                                                      void *) {
  // During an unwind the frame is only being passed over.
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;
  __builtin_longjmp(static_cast<GuardFrame *>(frame)->resume, 1);
}

}  // namespace

bool runGuarded(GuardedStep step, void *context) {
  GuardFrame frame;
  frame.next = chainHead();
  frame.handler = reinterpret_cast<void *>(&guardHandler);
  if (__builtin_setjmp(frame.resume) != 0) {
    setChainHead(frame.next);
    return false;
  }
  setChainHead(&frame);
  step(context);
  setChainHead(frame.next);
  return true;
}

#else

bool runGuarded(GuardedStep step, void *context) {
  step(context);
  return true;
}

#endif

}  // namespace qx::platform
