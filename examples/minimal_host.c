/*
 * minimal_host.c: the smallest complete game host for the Quellor client.
 *
 * It loads the client library, fills the game interface record, types one
 * console command into the client and runs frames for about a second. Copy
 * the callbacks into your game and replace the little variable table by your
 * console variables.
 *
 *   minimal_host [LIBRARY [HOME]]
 *
 * LIBRARY defaults to ./libqxcl.so (qxcl.dll on Windows); HOME is the game's
 * home folder, "." by default: the client keeps its files in HOME/qx/.
 * Exit status 0 when the client started and saved its settings there.
 *
 * Build (Linux):   cc -I include examples/minimal_host.c -ldl
 * Build (Windows): i686-w64-mingw32-gcc -I include examples/minimal_host.c
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#endif

#include <stdio.h>
#include <string.h>

#include "qx/game_interface.h"

#ifdef _WIN32
#include <windows.h>
#define LIBRARY_DEFAULT "qxcl.dll"
#define SEPARATOR "\\"
#else
#include <dlfcn.h>
#include <time.h>
#define LIBRARY_DEFAULT "./libqxcl.so"
#define SEPARATOR "/"
#endif
#ifndef QX_LIBRARY_DEFAULT /* a build may name the installed library */
#define QX_LIBRARY_DEFAULT LIBRARY_DEFAULT
#endif

/* The record lives as long as the library is loaded. */
static QxGameInterface gi;

/* ---- the game's console variables ------------------------------------ */

typedef struct Variable {
  const char *name;
  char value[256];
} Variable;

static Variable variables[] = {
    {"cl_quellor", "1"}, /* the client starts only while this begins with 1 */
    {"fs_homepath", "."}, {"cl_guid", "0123456789ABCDEF0123456789ABCDEF"},
    {"name", "Player"},   {"version", "Minimal Host 1.0"},
};

static Variable *findVariable(const char *name) {
  size_t i;
  for (i = 0; i < sizeof variables / sizeof variables[0]; ++i)
    if (strcmp(variables[i].name, name) == 0) return &variables[i];
  return NULL;
}

static void answer(char *buffer, int32_t size, const char *text) {
  snprintf(buffer, (size_t)size, "%s", text);
}

/* ---- the callbacks of the game interface ----------------------------- */

static void QX_CDECL namedOp(const char *name, const char *argument) {
  if (strcmp(name, "set_cl_quellor") == 0) /* keep it across runs */
    answer(findVariable("cl_quellor")->value, 256, argument);
  else if (strcmp(name, "Cmd_Exec") == 0) /* console text to run */
    printf("game: would run \"%s\"\n", argument);
}

static intptr_t QX_CDECL query(int32_t code, char *buffer, int32_t size) {
  const Variable *v;
  switch (code) {
    case QX_Q_CVAR: /* name in, value out; non-zero: no such variable */
      v = findVariable(buffer);
      if (!v) return 1;
      answer(buffer, size, v->value);
      return 0;
    case QX_Q_SERVER_ADDRESS: /* "host:port"; empty: not connected */
      answer(buffer, size, "");
      return 0;
    case QX_Q_BIND_FIND: /* no key binding matches */
      answer(buffer, size, "-1");
      return 0;
    case QX_Q_CVAR_FIND: /* the search ends at once */
      answer(buffer, size, "");
      return 0;
    case QX_Q_CVAR_NEXT_USER:    /* null: end of the list */
    case QX_Q_CVAR_NEXT_CHANGED: /* null: end of the list */
    case QX_Q_HOST_REPORT:       /* 0: nothing to report */
      return 0;
    case QX_Q_LIST_ENTRY: /* buffer unchanged: end of the list */
      return 0;
    default: /* a question this game cannot answer */
      return 1;
  }
}

/* The label: the client keeps it in gi.msgPrefix. "[skipnotify]" at its
 * start asks the game to show the line in the console only, not in the
 * notification lines on screen. */
static void QX_CDECL print(const char *text, int32_t one) {
  const char *label = gi.msgPrefix;
  (void)one; /* always 1 */
  if (strncmp(label, "[skipnotify]", 12) == 0) label += 12;
  printf("%s: %s\n", label, text);
}

/* Not connected to a game server: packets have nowhere to go. */
static void QX_CDECL sendToServer(int32_t length, const void *packet) {
  (void)packet;
  printf("game: a packet of %ld bytes for the server\n", (long)length);
}
static void QX_CDECL sendOob(const char *address, int32_t port, int32_t length,
                             const void *packet) {
  (void)packet;
  printf("game: %ld bytes for %s:%ld\n", (long)length, address, (long)port);
}

/* No frame read-back in this host: the client captures the screen itself
 * where it can (Windows), and reports a failed capture elsewhere. */
static intptr_t QX_CDECL captureQuery(int32_t code) {
  (void)code;
  return 0;
}

/* ---- loading the library and running frames -------------------------- */

/* Loads the library and finds its two entry points; 0 when it cannot. */
static int loadClient(const char *path, QxFrameEntryFn *ca,
                      QxEventEntryFn *cb) {
#ifdef _WIN32
  HMODULE library = LoadLibraryA(path);
  if (!library) return 0;
  /* Through void (*)(void), the type that converts to any function type. */
  *ca = (QxFrameEntryFn)(void (*)(void))GetProcAddress(library, "ca");
  *cb = (QxEventEntryFn)(void (*)(void))GetProcAddress(library, "cb");
#else
  void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!library) return 0;
  /* A function pointer travels through void * on POSIX systems. */
  *(void **)ca = dlsym(library, "ca");
  *(void **)cb = dlsym(library, "cb");
#endif
  return *ca && *cb;
}

static void sleepMs(int ms) {
#ifdef _WIN32
  Sleep((DWORD)ms);
#else
  struct timespec t;
  t.tv_sec = 0;
  t.tv_nsec = ms * 1000000L;
  nanosleep(&t, NULL);
#endif
}

static int fileExists(const char *path) {
  FILE *f = fopen(path, "rb");
  if (!f) return 0;
  fclose(f);
  return 1;
}

int main(int argc, char **argv) {
  const char *library = argc > 1 ? argv[1] : QX_LIBRARY_DEFAULT;
  const char *command = "qx_WriteCfg";
  char config[300];
  QxFrameEntryFn ca;
  QxEventEntryFn cb;
  const char *error = NULL;
  int frame;

  if (argc > 2) answer(findVariable("fs_homepath")->value, 256, argv[2]);
  if (!loadClient(library, &ca, &cb)) {
    fprintf(stderr, "cannot load the client from %s\n", library);
    return 1;
  }

  gi.magic = QX_INTERFACE_MAGIC;
  gi.namedOp = namedOp;
  gi.query = query;
  gi.print = print;
  gi.sendToServer = sendToServer;
  gi.sendOob = sendOob;
  gi.captureQuery = captureQuery;

  printf("client version %ld\n", (long)cb(&gi, QX_CB_VERSION, 0, NULL, 0));
  /* A line the player typed for the client: an event, run in a later ca. */
  if (cb(&gi, QX_EV_CONSOLE_LINE, (int32_t)strlen(command), command, 0) != 0)
    error = "the client refused a console line";
  for (frame = 0; frame < 50 && !error; ++frame) {
    error = ca(&gi, 0); /* null, or an error text */
    sleepMs(20);
  }
  if (error) {
    fprintf(stderr, "client: %s\n", error);
    return 1;
  }
  snprintf(config, sizeof config, "%s" SEPARATOR "qx" SEPARATOR "qxcl.cfg",
           findVariable("fs_homepath")->value);
  printf("%s %s\n", config, fileExists(config) ? "written" : "missing");
  return fileExists(config) ? 0 : 1;
}
