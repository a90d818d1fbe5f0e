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

// Microseconds of the client's own work, the fine clock that sliced work
// (screenshots) measures its budget in a call by: the calling thread's
// processor time on POSIX; on Win32, whose thread times advance only in
// scheduler ticks of about 15 ms, the performance counter, which also
// counts time the thread was not running, so a slice there does less,
// never more. Only differences between two readings mean anything.
uint64_t workMicroseconds();

// Tests replace the clocks; passing nullptr restores the system's.
using TickSource = uint32_t (*)();
using CalendarSource = CalendarTime (*)();
using WorkClockSource = uint64_t (*)();
void setTickSource(TickSource source);
void setCalendarSource(CalendarSource source);
void setWorkClockSource(WorkClockSource source);

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
// Renames from to to, replacing a file that to already names.
bool fileReplace(const char *from, const char *to);
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
// made non-blocking, so a receive never waits.
Socket udpOpen();
bool socketSetNonBlocking(Socket s);
bool socketBind(Socket s, uint16_t port);  // all local addresses
// Returns the bytes received, 0 or less when nothing is pending or on error.
int socketReceive(Socket s, void *buffer, int size);
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

const ScreenAccess &screenAccess();
// nullptr restores the system's screen.
void setScreenAccess(const ScreenAccess *replacement);
// The system's own screen of this platform.
const ScreenAccess &systemScreen();

// ---- fault containment -----------------------------------------------------

// Runs step(context). A processor fault inside it (access violation, bad
// instruction, division by zero) abandons the step and returns false; the
// host's own handlers are in place again when this returns.
using GuardedStep = void (*)(void *context);
bool runGuarded(GuardedStep step, void *context);

}  // namespace qx::platform
