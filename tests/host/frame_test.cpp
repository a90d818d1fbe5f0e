// The frame driver: tick arithmetic, pacing, the drain/work alternation, the
// client's UDP socket, the server-change check and fault containment.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/ticks.h"
#include "fake_host.h"
#include "host/client_state.h"
#include "host/event_queue.h"
#include "platform/platform.h"

using qx::client;
using qxtest::FakeHost;

namespace {

TEST(TickDiff, FollowsTheWrapAndFutureRules) {
  struct Case {
    uint32_t a, b, expected;
  } cases[] = {
      {0x00000010, 0xFFFFFFF0, 32},  // across the wrap
      {900, 1000, 0},                // slightly in the future
      {1000, 10000, 0x7FFFDCD8},     // far off: long expired
      {5000, 5000, 0},
      {1000, 0, 1000},
      {0, 4999, 0},
      {0, 5000, 0x80000000u - 5000},
  };
  for (const Case &c : cases)
    EXPECT_EQ(qx::tickDiff(c.a, c.b), c.expected) << c.a << " " << c.b;
}

// Counts work frames through the test hook.
int g_works = 0;
void countWork() { ++g_works; }

class FrameTest : public testing::Test {
 protected:
  void SetUp() override {
    g_works = 0;
    host.start();
    client().frame.testFault = countWork;
    g_works = 0;
  }
  FakeHost host;
};

// Start-up runs a work frame of its own; the call that starts the client
// runs no second one (it drains the events), and the next due calls
// alternate as ever.
TEST(FrameStart, TheStartingCallRunsOneWorkFrame) {
  FakeHost host;
  g_works = 0;
  client().frame.testFault = countWork;
  host.start();
  EXPECT_EQ(g_works, 1);
  host.pump(2);
  EXPECT_EQ(g_works, 2);
}

TEST_F(FrameTest, CallsWithinTheSleepPeriodDoNothing) {
  client().settings.sleep = 250;
  host.advance(300);
  host.frame();
  host.advance(300);
  host.frame();  // parity 0 again: works
  const int works = g_works;
  const uint32_t last = client().frame.lastFrameTick;
  host.advance(100);
  host.frame();
  EXPECT_EQ(client().frame.lastFrameTick, last);
  EXPECT_EQ(g_works, works);
}

TEST_F(FrameTest, SleepZeroLetsEveryCallThrough) {
  client().settings.sleep = 0;
  for (int i = 0; i < 4; ++i) host.frame();
  EXPECT_EQ(g_works, 2);
}

TEST(Frame, FirstDueCallDrainsAndWorksThenTheyAlternate) {
  FakeHost host;
  client().frame.testFault = countWork;
  g_works = 0;
  host.console("x");
  host.start();  // first due call after load: drain and work
  EXPECT_EQ(client().events.count, 0);
  EXPECT_EQ(g_works, 2);  // start-up's own work frame, then the frame's
  qx::host::pushEvent(15, 1, "a", 0);
  host.advance(1000);
  host.frame();  // second: drain only
  EXPECT_EQ(client().events.count, 0);
  EXPECT_EQ(g_works, 2);
  qx::host::pushEvent(15, 1, "a", 0);
  host.advance(1000);
  host.frame();  // third: work only
  EXPECT_EQ(g_works, 3);
  EXPECT_EQ(client().events.count, 1);
  // A console line makes the next call due at once, and it does both.
  host.console("y");
  host.frame();
  EXPECT_EQ(client().events.count, 0);
  EXPECT_EQ(g_works, 4);
}

TEST_F(FrameTest, ContainsAFaultInAWorkFrame) {
  client().frame.testFault = qxtest::causeProcessorFault;
  host.pump(2);
  EXPECT_TRUE(host.printed("O/S Exception Notice"));
  // The next calls run normally.
  client().frame.testFault = countWork;
  host.clearOutput();
  host.pump(2);
  EXPECT_EQ(g_works, 1);
  EXPECT_FALSE(host.printed("O/S Exception Notice"));
}

TEST_F(FrameTest, IgnoreSettingSilencesTheNotice) {
  client().settings.ignore = 1;
  client().frame.testFault = qxtest::causeProcessorFault;
  host.pump(2);
  EXPECT_FALSE(host.printed("O/S Exception Notice"));
}

TEST_F(FrameTest, BindFailureNamesThePortAndClearsIt) {
  // Occupy a port with a socket of our own, then ask the client for it.
  qx::platform::Socket taken = qx::platform::udpOpen();
  uint16_t port = 0;
  for (uint16_t p = 27960; p < 28060 && !port; ++p)
    if (qx::platform::socketBind(taken, p)) port = p;
  ASSERT_NE(port, 0);
  client().settings.netPort = port;
  host.pump(2);
  EXPECT_TRUE(host.printed("Network Socket error: cannot bind to port " +
                           std::to_string(port)));
  EXPECT_EQ(client().settings.netPort, 0);
  host.pump(2);
  EXPECT_EQ(client().frame.udpSocket, qx::platform::kNoSocket);
  qx::platform::socketClose(taken);
}

TEST_F(FrameTest, SocketExistsOnlyWhileThePortIsSet) {
  client().settings.netPort = 0;
  host.pump(2);
  EXPECT_EQ(client().frame.udpSocket, qx::platform::kNoSocket);
  for (uint16_t p = 28100; p < 28200; ++p) {
    client().settings.netPort = p;
    host.pump(2);
    if (client().settings.netPort == p) break;
  }
  ASSERT_NE(client().settings.netPort, 0);
  EXPECT_NE(client().frame.udpSocket, qx::platform::kNoSocket);
  client().settings.netPort = 0;
  host.pump(2);
  EXPECT_EQ(client().frame.udpSocket, qx::platform::kNoSocket);
}

TEST_F(FrameTest, ServerChangeResetsPerServerState) {
  host.serverAddress = "game.example.net:27960";
  client().channel.linkEstablished = 1;
  client().channel.sealAllowance = 5;
  client().cvars.rules.count = 0;
  host.frame();
  EXPECT_STREQ(client().frame.serverHost, "game.example.net");
  EXPECT_EQ(client().frame.serverPort, 27960);
  EXPECT_EQ(client().frame.connected, 1);
  EXPECT_EQ(client().channel.linkEstablished, 0);
  EXPECT_EQ(client().channel.sealAllowance, 0u);
  EXPECT_TRUE(host.printed("Server changed to game.example.net:27960"));

  host.serverAddress = "LOCALHOST";
  host.frame();
  EXPECT_EQ(client().frame.connected, 0);
  EXPECT_STREQ(client().frame.serverHost, "");
  EXPECT_EQ(client().frame.serverPort, 0);

  host.serverAddress = "";
  host.frame();
  EXPECT_EQ(client().frame.connected, 0);
}

// Query 105 answers "host:port": the host part tells the local server.
TEST_F(FrameTest, ConnectedMeansAServerOtherThanTheLocalOne) {
  struct Case {
    const char *address;
    int32_t connected;
  } cases[] = {
      {"localhost:27960", 0},  {"LocalHost:1", 0},
      {"localhost", 0},        {"10.0.0.1:27960", 1},
      {"localhost2:27960", 1}, {"game.localhost:27960", 1},
      {"local:27960", 1},      {"", 0},
  };
  for (const Case &c : cases) {
    host.serverAddress = "other.example.net:1";  // a change every time
    host.frame();
    host.serverAddress = c.address;
    host.frame();
    EXPECT_EQ(client().frame.connected, c.connected) << c.address;
  }
}

TEST_F(FrameTest, LongServerHostIsCut) {
  host.serverAddress = std::string(40, 'h') + ":1";
  host.frame();
  EXPECT_EQ(std::string(client().frame.serverHost), std::string(32, 'h'));
  EXPECT_EQ(client().frame.serverPort, 1);
}

TEST_F(FrameTest, GameVersionAndGuidComeFromHostVariables) {
  EXPECT_TRUE(host.printed("Game Version [FakeGame 1.0]"));
  host.cvars[QX_GUID_CVAR] = "0123456789ABCDEF0123456789ABCDEF99";
  for (int i = 0; i < 4; ++i) host.frame();
  EXPECT_STREQ(client().channel.playerGuid, "0123456789ABCDEF0123456789ABCDEF");
}

// A host that fills the whole answer buffer without a terminator: the
// answer ends at the buffer's end.
TEST(Frame, GameVersionAnswerEndsAtItsBuffer) {
  FakeHost host;
  int32_t size = 0;
  host.queryOverride = [&](int32_t code, char *buffer, int32_t n) {
    if (code != QX_Q_CVAR) return intptr_t{1};
    if (std::strcmp(buffer, "cl_quellor") == 0) {
      std::strcpy(buffer, "1");
      return intptr_t{0};
    }
    if (std::strcmp(buffer, "version") != 0) return intptr_t{1};
    size = n;
    std::memset(buffer, 'v', static_cast<size_t>(n));
    return intptr_t{0};
  };
  host.start();
  ASSERT_GT(size, 0);
  EXPECT_TRUE(host.printed("Game Version [" +
                           std::string(static_cast<size_t>(size - 1), 'v') +
                           "]"));
}

// A fault inside an event's handler ends the call like any contained
// fault; the event is out of the queue at once, its data freed, and it is
// never run again. The events behind it wait for the next drain.
TEST_F(FrameTest, FaultInAnEventDropsIt) {
  host.faultOnQuery = QX_Q_BIND_FIND;
  host.console("qx_BindSrch x");
  host.console("qx_Ver");
  ASSERT_EQ(client().events.count, 2);
  host.clearOutput();
  host.frame();  // due at once after a console line
  EXPECT_EQ(host.texts, std::vector<std::string>{"O/S Exception Notice"});
  EXPECT_EQ(client().events.count, 1);
  host.faultOnQuery = 0;
  host.pump(4);
  EXPECT_EQ(client().events.count, 0);
  EXPECT_TRUE(host.printed("Quellor Client (v1.199 | A0) Enabled"));
  EXPECT_FALSE(host.printedPart("found in"));  // the search never ran again
}

// Unloading closes the client's socket; when the process is ending (the
// library's entry routine says so) the socket and the files are left to
// the system.
TEST(Unload, LeavesSocketsAndFilesToTheSystemWhenTheProcessEnds) {
  for (const bool exiting : {false, true}) {
    SCOPED_TRACE(exiting ? "process ending" : "library unloaded");
    FakeHost host;
    host.start();
    uint16_t port = 0;
    for (uint16_t p = 28300; p < 28400 && !port; ++p) {
      client().settings.netPort = p;
      host.pump(2);
      if (client().settings.netPort == p) port = p;
    }
    ASSERT_NE(port, 0);
    const qx::platform::Socket s = client().frame.udpSocket;
    const std::string path = std::string(client().host.homeDir) + "x.dat";
    client().pendingReplaces.replace = [](const char *, const char *,
                                          int *error) {
      *error = 32;
      return qx::platform::FileReplace::Busy;
    };
    ASSERT_TRUE(qx::replaceFile(path.c_str(), "x", 1));  // waits
    client().host.processExiting = exiting;
    qx::unloadClientState();
    EXPECT_EQ(qx::platform::socketSendTo(s, "127.0.0.1", port, "x", 1) == 1,
              exiting);
    EXPECT_EQ(qx::platform::fileExists((path + ".qxtmp").c_str()), exiting);
    if (exiting) qx::platform::socketClose(s);
    qx::loadClientState();
  }
}

}  // namespace

namespace {

// Guards nest, and each leaves the handler chain as it found it: after an
// inner fault the outer guard still completes, and later faults are still
// contained.
TEST(FaultGuard, NestsAndRestoresTheChain) {
  static bool innerContained;
  innerContained = false;
  EXPECT_TRUE(qx::platform::runGuarded(
      [](void *) {
        innerContained = !qx::platform::runGuarded(
            [](void *) { qxtest::causeProcessorFault(); }, nullptr);
      },
      nullptr));
  EXPECT_TRUE(innerContained);
  for (int i = 0; i < 3; ++i)
    EXPECT_FALSE(qx::platform::runGuarded(
        [](void *) { qxtest::causeProcessorFault(); }, nullptr));
}

}  // namespace

#if !defined(_WIN32)
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <csignal>
#include <thread>

namespace {

void hostHandler(int) {}

// A fault in another thread of the host, while the client's thread runs a
// guarded step, belongs to the host: its handler gets it, in that thread,
// and the guarded step goes on.
thread_local sigjmp_buf *t_recover = nullptr;
std::atomic<int> g_hostFaults{0};
std::atomic<bool> g_inFaultingThread{false};

void recoveringHostHandler(int) {
  ++g_hostFaults;
  if (t_recover) siglongjmp(*t_recover, 1);
}

// Reads a page that may not be read: a real fault in the calling thread.
void faultInThisThread() {
  const long page = sysconf(_SC_PAGESIZE);
  void *p = mmap(nullptr, static_cast<size_t>(page), PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  sigjmp_buf here;
  if (sigsetjmp(here, 1) == 0) {
    t_recover = &here;
    g_inFaultingThread = true;
    (void)*static_cast<volatile int *>(p);
  }
  t_recover = nullptr;
  munmap(p, static_cast<size_t>(page));
}

TEST(FaultGuard, OtherThreadsFaultsGoToTheHost) {
  struct sigaction mine {
  }, before{};
  mine.sa_handler = recoveringHostHandler;
  sigemptyset(&mine.sa_mask);
  mine.sa_flags = SA_NODEFER;
  sigaction(SIGSEGV, &mine, &before);
  g_hostFaults = 0;
  g_inFaultingThread = false;
  EXPECT_TRUE(qx::platform::runGuarded(
      [](void *) { std::thread(faultInThisThread).join(); }, nullptr));
  EXPECT_TRUE(g_inFaultingThread);
  EXPECT_EQ(g_hostFaults, 1);
  // The guard still contains its own thread's faults afterwards.
  EXPECT_FALSE(qx::platform::runGuarded(
      [](void *) { qxtest::causeProcessorFault(); }, nullptr));
  EXPECT_EQ(g_hostFaults, 1);
  sigaction(SIGSEGV, &before, nullptr);
}

// With the default action in place, another thread's fault ends the
// process as it would without the client.
TEST(FaultGuardDeathTest, OtherThreadsFaultTakesTheDefaultAction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        signal(SIGSEGV, SIG_DFL);
        qx::platform::runGuarded(
            [](void *) {
              std::thread([] {
                const long page = sysconf(_SC_PAGESIZE);
                void *p = mmap(nullptr, static_cast<size_t>(page), PROT_NONE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                (void)*static_cast<volatile int *>(p);
              }).join();
            },
            nullptr);
        std::exit(0);
      },
      testing::KilledBySignal(SIGSEGV), "");
}

TEST(FaultGuard, KeepsTheHostsOwnHandlers) {
  struct sigaction mine {
  }, before{}, after{};
  mine.sa_handler = hostHandler;
  sigemptyset(&mine.sa_mask);
  sigaction(SIGSEGV, &mine, &before);
  EXPECT_FALSE(qx::platform::runGuarded(
      [](void *) { qxtest::causeProcessorFault(); }, nullptr));
  EXPECT_TRUE(qx::platform::runGuarded([](void *) {}, nullptr));
  sigaction(SIGSEGV, &before, &after);
  EXPECT_EQ(after.sa_handler, hostHandler);
}

// Guards that begin and end in several threads at once: one thread's first
// guard can start while another's last guard is still putting the host's
// handlers back. When all have ended, the host's own handler is in place.
TEST(FaultGuard, GuardsInSeveralThreadsLeaveTheHostsHandler) {
  struct sigaction mine {
  }, before{}, after{};
  mine.sa_handler = hostHandler;
  sigemptyset(&mine.sa_mask);
  sigaction(SIGSEGV, &mine, &before);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 100000; ++i)
        qx::platform::runGuarded([](void *) {}, nullptr);
    });
  for (std::thread &t : threads) t.join();
  sigaction(SIGSEGV, &before, &after);
  EXPECT_EQ(after.sa_handler, hostHandler);
  EXPECT_EQ(after.sa_flags & SA_SIGINFO, 0);
}

}  // namespace
#endif

#if defined(_WIN32)
#include <windows.h>

#include <thread>

namespace {

// A frame of the host's own on the thread's handler chain, as a game's
// callback or the game around its call of ca would register one: an x86
// exception registration record on the stack, linked in at fs:[0].
struct HostFrame {
  HostFrame *next;
  void *handler;
};

HostFrame *chainHead() {
  HostFrame *head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void setChainHead(HostFrame *head) {
  __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

// What the host's handlers saw.
CRITICAL_SECTION g_hostLock;
int g_unwindCalls = 0;
DWORD g_hostSawCode = 0;
constexpr DWORD kCppThrow = 0xE06D7363;  // the code of an MSVC C++ throw

// The handler of a callback that holds the host's lock around its work:
// its unwind call releases the lock, as a __finally block would.
extern "C" EXCEPTION_DISPOSITION __cdecl releasingHandler(
    EXCEPTION_RECORD *record, void *, CONTEXT *, void *) {
  if (record->ExceptionFlags & EXCEPTION_UNWINDING) {
    ++g_unwindCalls;
    LeaveCriticalSection(&g_hostLock);
  }
  return ExceptionContinueSearch;
}

// The game's handler around its call: it takes the C++ throws of its own
// callbacks and lets them go on (RaiseException returns).
extern "C" EXCEPTION_DISPOSITION __cdecl gameHandler(EXCEPTION_RECORD *record,
                                                     void *, CONTEXT *,
                                                     void *) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;
  if (record->ExceptionCode != kCppThrow) return ExceptionContinueSearch;
  g_hostSawCode = record->ExceptionCode;
  return ExceptionContinueExecution;
}

// A callback of the host that takes its lock, registers its frame and then
// faults; the frame stays on the chain, for the guard to unwind.
__attribute__((noinline)) void faultHoldingTheHostLock(void *) {
  HostFrame frame{chainHead(), reinterpret_cast<void *>(&releasingHandler)};
  EnterCriticalSection(&g_hostLock);
  setChainHead(&frame);
  qxtest::causeProcessorFault();
}

bool lockIsFreeForAnotherThread() {
  bool free = false;
  std::thread([&] {
    free = TryEnterCriticalSection(&g_hostLock) != 0;
    if (free) LeaveCriticalSection(&g_hostLock);
  }).join();
  return free;
}

TEST(FaultGuardWin32, UnwindsTheHostsFramesBeforeLeaving) {
  InitializeCriticalSection(&g_hostLock);
  g_unwindCalls = 0;
  HostFrame *const before = chainHead();
  EXPECT_FALSE(qx::platform::runGuarded(faultHoldingTheHostLock, nullptr));
  EXPECT_EQ(g_unwindCalls, 1);
  EXPECT_TRUE(lockIsFreeForAnotherThread());
  EXPECT_EQ(chainHead(), before);
  DeleteCriticalSection(&g_hostLock);
}

// A software exception is the raiser's business: it passes the guard and
// reaches the game's handler, and the step goes on.
TEST(FaultGuardWin32, SoftwareExceptionsReachTheHostsHandler) {
  g_hostSawCode = 0;
  HostFrame game{chainHead(), reinterpret_cast<void *>(&gameHandler)};
  setChainHead(&game);
  static bool stepEnded;
  stepEnded = false;
  const bool completed = qx::platform::runGuarded(
      [](void *) {
        RaiseException(kCppThrow, 0, 0, nullptr);
        stepEnded = true;
      },
      nullptr);
  setChainHead(game.next);
  EXPECT_TRUE(completed);
  EXPECT_TRUE(stepEnded);
  EXPECT_EQ(g_hostSawCode, kCppThrow);
}

// Runs the stack out.
__attribute__((noinline)) int recurse(int depth) {
  volatile char page[4096];
  page[0] = static_cast<char>(depth);
  if (depth < 0) return 0;  // never: the stack runs out long before
  return recurse(depth + 1) + page[0];
}

TEST(FaultGuardWin32, ContainsOneStackOverflowAfterAnother) {
  // Each overflow uses up the stack's guard page; the second is contained
  // only when the first guard put it back.
  for (int i = 0; i < 3; ++i)
    EXPECT_FALSE(qx::platform::runGuarded(
        [](void *) { static_cast<void>(recurse(0)); }, nullptr))
        << "overflow " << i;
}

// A fault in the middle of a calculation with other precision, rounding or
// exception masks leaves the host's floating-point settings as they were.
TEST(FaultGuardWin32, RestoresTheFloatingPointControlWords) {
  uint16_t x87 = 0, x87After = 0;
  uint32_t sse = 0, sseAfter = 0;
  __asm__ volatile("fnstcw %0" : "=m"(x87));
  __asm__ volatile("stmxcsr %0" : "=m"(sse));
  EXPECT_FALSE(qx::platform::runGuarded(
      [](void *) {
        const uint16_t chop = 0x0C00 | 0x0000 | 0x003E;  // truncate, single
        const uint32_t up = 0x4000 | 0x1D80;  // round up, divide unmasked
        __asm__ volatile("fldcw %0" : : "m"(chop));
        __asm__ volatile("ldmxcsr %0" : : "m"(up));
        __asm__ volatile("fld1\n\tfld1" ::
                             : "st", "st(1)");  // left on the stack
        qxtest::causeProcessorFault();
      },
      nullptr));
  __asm__ volatile("fnstcw %0" : "=m"(x87After));
  __asm__ volatile("stmxcsr %0" : "=m"(sseAfter));
  EXPECT_EQ(x87After, x87);
  EXPECT_EQ(sseAfter & 0xFFC0, sse & 0xFFC0);  // the control bits
  uint16_t status = 0;
  __asm__ volatile("fnstsw %0" : "=m"(status));
  EXPECT_EQ(status & 0x3800, 0) << "x87 register stack left in use";
  volatile double x = 1.0 / 3.0;
  EXPECT_NEAR(x * 3.0, 1.0, 1e-12);
}

}  // namespace
#endif
