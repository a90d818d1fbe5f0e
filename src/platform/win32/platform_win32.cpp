// Win32 implementation of the platform layer (qxcl.dll).
#include "platform/file_stdio.h"
#include "platform/platform.h"
#include "platform/win32/system_library.h"

// Winsock's headers must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <direct.h>
#include <io.h>
#include <windows.h>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace qx::platform {

namespace {

TickSource g_tickSource = nullptr;
CalendarSource g_calendarSource = nullptr;
WallClockSource g_wallClockSource = nullptr;

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

uint64_t wallMicroseconds() {
  if (g_wallClockSource) return g_wallClockSource();
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
void setWallClockSource(WallClockSource source) { g_wallClockSource = source; }

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

namespace {

// A name can open a device where a file was meant (a serial port, the
// console, NUL): a frame would then wait on the device or write into
// nothing. Only a file on a disk counts as opened.
bool isDiskFile(FILE *file) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return handle != INVALID_HANDLE_VALUE &&
         GetFileType(handle) == FILE_TYPE_DISK;
}

}  // namespace

FileHandle fileOpen(const char *path, OpenMode mode) {
  if (!path) return nullptr;
  const char *m = stdioMode(mode);
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return nullptr;
  FILE *file = std::fopen(path, m);
  if (file && !isDiskFile(file)) {
    std::fclose(file);
    return nullptr;
  }
  return file;
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

// MOVEFILE_WRITE_THROUGH is left out on purpose: it makes the call wait
// until the rename is on the disk, which holds up the frame for as long as
// the disk takes, and the file's data is not committed either.
FileReplace fileReplace(const char *from, const char *to, int *error) {
  if (!from || !to) {
    if (error) *error = ERROR_INVALID_PARAMETER;
    return FileReplace::Failed;
  }
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING))
    return FileReplace::Replaced;
  DWORD code = GetLastError();
  // A read-only target refuses to be replaced; the client's own files may
  // carry the mark (set by the player or a copy from a CD), so it goes.
  const DWORD attributes = GetFileAttributesA(to);
  if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      SetFileAttributesA(to, attributes & ~FILE_ATTRIBUTE_READONLY)) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING))
      return FileReplace::Replaced;
    code = GetLastError();
  }
  if (error) *error = static_cast<int>(code);
  return replaceOutcome(static_cast<int>(code));
}

// A file held open without delete sharing refuses the rename with a sharing
// violation, and one being deleted or mapped with access denied; a locked
// range gives a lock violation. All of them pass once the other program is
// done with the file.
FileReplace replaceOutcome(int error) {
  switch (static_cast<DWORD>(error)) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_ACCESS_DENIED:
    case ERROR_LOCK_VIOLATION:
      return FileReplace::Busy;
    default:
      return FileReplace::Failed;
  }
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

namespace {

// Winsock's controls that make a UDP socket report an ICMP "port
// unreachable" or "TTL expired" for an earlier send as WSAECONNRESET or
// WSAENETRESET on a later receive (mswsock.h).
constexpr DWORD kUdpConnReset = IOC_IN | IOC_VENDOR | 12;
constexpr DWORD kUdpNetReset = IOC_IN | IOC_VENDOR | 15;

// Turns a reset report off. Systems without the control keep reporting,
// and the receive loop reads past the reports then.
void stopResetReports(SOCKET s, DWORD control) {
  BOOL report = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, control, &report, sizeof report, nullptr, 0, &returned, nullptr,
           nullptr);
}

}  // namespace

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
  stopResetReports(s, kUdpConnReset);
  stopResetReports(s, kUdpNetReset);
  const int bytes = kDatagramBufferBytes;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bytes),
             sizeof bytes);
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
  return n == SOCKET_ERROR ? receiveOutcome(WSAGetLastError()) : n;
}

// A datagram larger than the buffer fails with WSAEMSGSIZE (and is gone);
// a reset report fails one receive. Neither touches the datagrams behind.
int receiveOutcome(int error) {
  switch (error) {
    case WSAEWOULDBLOCK:
      return kNoDatagram;
    case WSAECONNRESET:
    case WSAENETRESET:
    case WSAEMSGSIZE:
    case WSAEINTR:
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

void *loadSystemLibrary(const wchar_t *name) {
  wchar_t path[MAX_PATH];
  const UINT n = GetSystemDirectoryW(path, MAX_PATH);
  const size_t nameLength = std::wcslen(name);
  if (n == 0 || n + 1 + nameLength >= MAX_PATH) return nullptr;
  path[n] = L'\\';
  std::wmemcpy(path + n + 1, name, nameLength + 1);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
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
// own, inside its callbacks) see the exception first. One that reaches our
// frame is contained only when it is a processor or system fault; any other
// code (a C++ throw, a RaiseException code) goes on to the handlers outside
// the guard, as if the guard were not there.
//
// Containing a fault first unwinds: RtlUnwind gives every frame between the
// fault and the guard its unwind call (the __finally blocks and destructors
// of the host's callbacks and of system code, which release the locks they
// hold) and takes those frames off the chain. Then the handler jumps back
// into runGuarded with __builtin_longjmp, which restores the stack and frame
// pointers, and runGuarded puts the chain head back to the host's frame.
// After a stack overflow the stack's guard page is set again, and the
// floating-point state the fault may have left behind is reset to what it
// was when the step began.

#if defined(_M_IX86) || defined(__i386__)

namespace {

struct GuardFrame {
  // Layout of an exception registration record: the chain link, then the
  // handler. It must be the first member, as the dispatcher passes its
  // address back to the handler.
  GuardFrame *next;
  void *handler;
  void *resume[5];      // __builtin_setjmp buffer
  DWORD code;           // the contained exception's code
  uint32_t mxcsr;       // SSE control and status at the start
  uint16_t x87Control;  // x87 control word at the start
};

GuardFrame *chainHead() {
  GuardFrame *head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void setChainHead(GuardFrame *head) {
  __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

// The processor and system faults a guard contains. Everything else is a
// software exception that its raiser's own handlers expect to see.
bool isContainedFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_STACK_OVERFLOW:
      return true;
    default:
      return false;
  }
}

// RtlUnwind(frame, resumeAddress, record, 0), called as the system's own
// unwinding helpers call it: it resumes at the address after the call with
// the stack as a normal return leaves it, but it does not promise to keep
// the registers the compiler expects a call to keep, so those are saved
// around it (ebx, esi and edi by the clobbers, ebp by hand).
void unwindTo(GuardFrame *frame, EXCEPTION_RECORD *record) {
  void *unwind = reinterpret_cast<void *>(&RtlUnwind);
  __asm__ volatile(
      "pushl %%ebp\n\t"
      "pushl $0\n\t"
      "pushl %%edx\n\t"
      "pushl $1f\n\t"
      "pushl %%ecx\n\t"
      "call *%%eax\n"
      "1:\n\t"
      "popl %%ebp"
      : "+a"(unwind), "+c"(frame), "+d"(record)
      :
      : "ebx", "esi", "edi", "memory", "cc");
}

extern "C" EXCEPTION_DISPOSITION __cdecl guardHandler(EXCEPTION_RECORD *record,
                                                      void *frame, CONTEXT *,
                                                      void *) {
  // During an unwind the frame is only being passed over.
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;
  if (!isContainedFault(record->ExceptionCode)) return ExceptionContinueSearch;
  GuardFrame *guard = static_cast<GuardFrame *>(frame);
  guard->code = record->ExceptionCode;
  unwindTo(guard, record);
  __builtin_longjmp(guard->resume, 1);
}

void saveFloatingPoint(GuardFrame &frame) {
  __asm__ volatile("fnstcw %0" : "=m"(frame.x87Control));
  __asm__ volatile("stmxcsr %0" : "=m"(frame.mxcsr));
}

// fninit empties the x87 register stack and clears its status (a fault in
// the middle of a calculation can leave both behind), then the control words
// of the start come back: precision, rounding and masked exceptions as the
// host had set them.
void restoreFloatingPoint(const GuardFrame &frame) {
  __asm__ volatile("fninit\n\tfldcw %0" : : "m"(frame.x87Control));
  __asm__ volatile("ldmxcsr %0" : : "m"(frame.mxcsr));
}

// A stack overflow uses up the stack's guard page, and without one the next
// overflow of this thread ends the process with no handler called. The
// guard page goes back where the overflow found it: onto the lowest page of
// the stack that is committed and accessible, never the stack's first page
// (kept reserved, or committed without access, as the last barrier), and
// only with a page of room left between it and the frames in use, as the
// C runtime's _resetstkoflw does (msvcrt.dll does not export that on every
// system).
void restoreStackGuard() {
  MEMORY_BASIC_INFORMATION region{};
  const char *here = reinterpret_cast<const char *>(&region);
  if (!VirtualQuery(here, &region, sizeof region)) return;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const size_t page = system.dwPageSize;
  const char *p = static_cast<const char *>(region.AllocationBase) + page;
  while (p < here) {
    if (!VirtualQuery(p, &region, sizeof region)) return;
    const bool accessible =
        region.State == MEM_COMMIT && !(region.Protect & PAGE_NOACCESS);
    if (accessible) break;
    p = static_cast<const char *>(region.BaseAddress) + region.RegionSize;
  }
  if (p >= here || (region.Protect & PAGE_GUARD)) return;
  const uintptr_t herePage = reinterpret_cast<uintptr_t>(here) & ~(page - 1);
  if (reinterpret_cast<uintptr_t>(p) + 2 * page > herePage) return;
  DWORD before = 0;
  VirtualProtect(const_cast<char *>(p), page, PAGE_READWRITE | PAGE_GUARD,
                 &before);
}

}  // namespace

bool runGuarded(GuardedStep step, void *context) {
  GuardFrame frame;
  frame.next = chainHead();
  frame.handler = reinterpret_cast<void *>(&guardHandler);
  frame.code = 0;
  saveFloatingPoint(frame);
  if (__builtin_setjmp(frame.resume) != 0) {
    setChainHead(frame.next);
    restoreFloatingPoint(frame);
    if (frame.code == EXCEPTION_STACK_OVERFLOW) restoreStackGuard();
    releaseScreen();
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
