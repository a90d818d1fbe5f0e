// The one interface between the client and the operating system. Everything
// that reads a clock, touches a file, opens a socket, loads a library or
// guards against a processor fault goes through here; there is a Win32 and a
// POSIX implementation of each function.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::platform {

// ---- time ----------------------------------------------------------------

// Milliseconds of the system tick counter; wraps after about 49.7 days.
uint32_t tickCount();

struct CalendarTime {
  int year, month, day;      // month 1..12, day 1..31
  int hour, minute, second;  // local time
};
CalendarTime localTime();

// Microseconds of a monotonic wall clock, the fine clock that an entry
// call's budget is counted on (host/call_budget.h): what the game waits is
// wall time, whether the call computed, slept or was held up by the
// machine. Cheap enough to read at every call (the vDSO's CLOCK_MONOTONIC
// on POSIX, the performance counter on Win32). Only differences between
// two readings mean anything.
uint64_t wallMicroseconds();

// Tests replace the clocks; passing nullptr restores the system's.
using TickSource = uint32_t (*)();
using CalendarSource = CalendarTime (*)();
using WallClockSource = uint64_t (*)();
void setTickSource(TickSource source);
void setCalendarSource(CalendarSource source);
void setWallClockSource(WallClockSource source);

// ---- random numbers --------------------------------------------------------

// The client's own 15-bit linear congruential generator. It gives the same
// sequence on every build and never touches the host process's rand stream.
struct Random {
  uint32_t state = 1;
  void seed(uint32_t s) { state = s; }
  int next() {
    state = state * 214013u + 2531011u;
    return static_cast<int>((state >> 16) & 0x7FFF);
  }
};

// ---- process and system ----------------------------------------------------

struct SystemInfo {
  uint32_t pageSize;
  uintptr_t minAppAddress;
  uintptr_t maxAppAddress;
  uint32_t allocationGranularity;
};
SystemInfo systemInfo();
uint32_t processId();
uint32_t threadId();

// ---- files and directories -------------------------------------------------
//
// Paths use '\' as the client's texts show them; the POSIX layer turns '\'
// into '/' at the system-call boundary.

using FileHandle = void *;  // nullptr when not open

enum class OpenMode { Read, Write, Append, ReadWrite };

// nullptr when path cannot be opened or names no file on a disk (a
// directory, a device, a pipe): whatever a name turns out to be, the
// client reads and writes only files.
FileHandle fileOpen(const char *path, OpenMode mode);
void fileClose(FileHandle f);
// Return the bytes moved, 0 at the end of the file or on an error.
size_t fileRead(FileHandle f, void *buffer, size_t size);
size_t fileWrite(FileHandle f, const void *data, size_t size);
bool fileSeek(FileHandle f, long offset);  // from the start
long fileSize(FileHandle f);               // -1 on error
// Hands buffered data to the system; fileCommit also waits until the system
// has written it to disk, which can take milliseconds.
bool fileFlush(FileHandle f);
bool fileCommit(FileHandle f);
bool fileRemove(const char *path);
// Renames from to to, replacing a file that to already names; a read-only
// mark on to is cleared first where the system would refuse it. Busy: the
// system refused because another program holds one of the files open or
// locked (a virus scanner looking at a fresh file, an indexer, a backup), so
// a later attempt can succeed. *error receives the system's error number
// when it is not Replaced. The rename is handed to the system, not waited
// for on the disk.
enum class FileReplace { Replaced, Busy, Failed };
FileReplace fileReplace(const char *from, const char *to, int *error);
// How fileReplace judges the system's error number.
FileReplace replaceOutcome(int error);
bool makeDirectory(const char *path);  // true also when it exists
// True when anything (a file or a directory) exists at path.
bool fileExists(const char *path);
// Clears a read-only mark, so that the file can be replaced or removed.
bool fileMakeWritable(const char *path);
// Fills buffer (size bytes, terminated) with the working directory.
bool workingDirectory(char *buffer, size_t size);

// ---- sockets ---------------------------------------------------------------

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

// A non-blocking UDP socket; kNoSocket on failure, also when it cannot be
// made non-blocking, so a receive never waits. Its receive buffer holds
// kDatagramBufferBytes where the system allows it, and on Windows a reset
// report for an earlier send never fails a later receive.
Socket udpOpen();
bool socketSetNonBlocking(Socket s);
bool socketBind(Socket s, uint16_t port);  // all local addresses
// Receives one datagram: its bytes (0 for an empty one), or one of the
// outcomes below. kDatagramLost: the system reported a datagram lost or
// cut (a reset report for an earlier send to a closed port, a datagram
// larger than buffer), which says nothing about the next one; the caller
// reads on. kNoDatagram: nothing is waiting. kReceiveFailed: any other
// error.
constexpr int kNoDatagram = -1;
constexpr int kDatagramLost = -2;
constexpr int kReceiveFailed = -3;
int socketReceive(Socket s, void *buffer, int size);
// How socketReceive judges the system's error number.
int receiveOutcome(int error);
// Bytes of datagrams the system keeps for the client's UDP socket between
// two reads: a master's largest content push (1 MiB in 1024 chunks of 1024
// bytes, each with its headers) fits whole even when it is sent at once,
// while the work frames read 32 datagrams each.
constexpr int kDatagramBufferBytes = 1280 * 1024;
// Datagram to a dotted IPv4 address; returns the bytes sent or -1.
int socketSendTo(Socket s, const char *address, uint16_t port, const void *data,
                 int size);
void socketClose(Socket s);
// Name of the last socket error ("EADDRINUSE", "WSAEADDRINUSE", ...).
const char *lastSocketError();
// Number of the last socket error (errno, or WSAGetLastError on Win32).
int lastSocketErrorNumber();
// The platform's number for "connection timed out".
int timedOutErrorNumber();

// TCP streams, never blocking: the connect is started and then tested once
// per call, so no call waits on the network.
enum class ConnectState { Connected, Pending, Failed };
// A non-blocking stream socket; kNoSocket on failure.
Socket tcpOpen();
// Starts a connect to a dotted IPv4 address. On Failed, *error holds the
// socket error number.
ConnectState tcpConnect(Socket s, const char *address, uint16_t port,
                        int *error);
// Tests, without waiting, whether a started connect has completed.
ConnectState tcpConnectResult(Socket s, int *error);
// Bytes sent; 0 when the socket cannot take more yet; -1 on an error.
int tcpSend(Socket s, const void *data, int size);
// Bytes received; kStreamClosed when the peer has closed the stream;
// kStreamPending when nothing is waiting yet; kStreamFailed on an error.
constexpr int kStreamClosed = 0;
constexpr int kStreamPending = -1;
constexpr int kStreamFailed = -2;
int tcpReceive(Socket s, void *buffer, int size);

// ---- dynamic libraries -----------------------------------------------------

// A library is loaded once per open and stays mapped until its last close;
// only then can Windows replace or remove its file.
using Library = void *;
Library libraryOpen(const char *path);  // nullptr when it cannot be loaded
void *librarySymbol(Library lib, const char *name);
void libraryClose(Library lib);

// ---- screen capture --------------------------------------------------------
//
// The window in front and the screen's primary surface, for screenshots.
// Win32 reads the primary surface through DirectDraw 4, loading ddraw.dll at
// the first capture; the POSIX layer has no primary surface, so its
// primaryOpen always fails. Tests replace the whole set with a screen of
// their own.

struct WindowPlacement {
  uint32_t showState;  // lowest bit clear: minimised (or otherwise hidden)
  int32_t left, top, right, bottom;  // the window's normal position
};

struct SurfaceLock {
  const uint8_t *bits;   // first byte of the top row
  int32_t pitch;         // bytes from one row to the next
  int32_t bitsPerPixel;  // 8, 15 (5-5-5), 16 (5-6-5), 24 or 32
  int32_t height;        // rows
};

struct PaletteColour {
  uint8_t red, green, blue, flags;
};

using Surface = void *;  // an open primary surface; nullptr when none

struct ScreenAccess {
  // The window in front belongs to this process.
  bool (*foregroundIsOwn)();
  // Placement of the window in front; false when it cannot be read.
  bool (*foregroundPlacement)(WindowPlacement &out);
  // Opens the primary surface; everything it obtained is released by
  // primaryClose, also after a failed lock.
  Surface (*primaryOpen)();
  bool (*primaryLock)(Surface surface, SurfaceLock &out);  // waits
  void (*primaryUnlock)(Surface surface);
  // 256 entries: the surface's own palette, else the system palette.
  bool (*primaryPalette)(Surface surface, PaletteColour *entries);
  void (*primaryClose)(Surface surface);
};

// The capture's way to the screen. It passes every call on to the system's
// screen or to the one a test put in its place, and keeps track of the
// primary surface a capture holds open.
const ScreenAccess &screenAccess();
// nullptr restores the system's screen.
void setScreenAccess(const ScreenAccess *replacement);
// Unlocks and closes a primary surface that a capture still holds open.
// Surfaces live inside one capture call, so one is left only by a fault that
// cut the capture short: the fault guards call this when they contain a
// fault (a capture runs no guarded step of its own, so the surface was
// opened inside the abandoned step), and unloading the client does too.
void releaseScreen();
// The system's own screen of this platform.
const ScreenAccess &systemScreen();

// ---- fault containment -----------------------------------------------------

// Runs step(context). A processor fault inside it (access violation, bad
// instruction, division by zero, stack overflow) abandons the step and
// returns false; the host's own handlers are in place again when this
// returns, and a capture's surface the step held is released. Any other
// exception (a C++ throw, a RaiseException code of a host callback) is not
// the guard's: it goes on to the handlers outside. On Win32 the frames
// between the fault and the guard get their unwind call first, the
// floating-point control words of the start come back, and after a stack
// overflow the stack's guard page is set again.
using GuardedStep = void (*)(void *context);
bool runGuarded(GuardedStep step, void *context);

}  // namespace qx::platform
