/*
 * Quellor client: the host-facing interface.
 *
 * A host game loads qxcl.dll (or libqxcl.so), keeps one QxGameInterface
 * record, and calls the two exported entry points from its own thread:
 *
 *   ca(gi, budget)                        every frame
 *   cb(gi, code, length, data, retries)   events (code <= 16) and questions
 *
 * On 32-bit targets the record reproduces the host's byte layout exactly and
 * every offset is checked below. On 64-bit targets the fields keep their
 * order with natural alignment; that layout is the 64-bit ABI.
 *
 * Plain C, so that hosts written in C can include it unchanged.
 */
#ifndef QX_GAME_INTERFACE_H
#define QX_GAME_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define QX_CDECL __cdecl
#else
#define QX_CDECL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- magic numbers ---------------------------------------------------- */

#define QX_INTERFACE_MAGIC 0x264B8BABu /* QxGameInterface.magic */
#define QX_SECONDARY_MAGIC 0x357AFE20u /* QxSecondaryHost.magic */

#define QX_CLIENT_VERSION 1199 /* answer to query QX_CB_VERSION: v1.199 */

/* ---- codes of cb ------------------------------------------------------ */

/* Codes up to QX_CB_LAST_EVENT (signed) are events: they are queued and run
 * in a later ca. Larger codes are questions or orders answered at once.
 *
 * QX_CB_COMPLETE: data is the console text to complete, zero-terminated, in
 * a writable buffer of at least 256 bytes. When exactly one command or
 * setting name begins with the text, the client completes it in place (the
 * name and a space); otherwise it lists the candidates on the console.
 *
 * QX_CB_WANTED and QX_CB_ENABLED_STATE mean something only once the client
 * has started, inside the first ca or event; before that it counts as not
 * enabled. */
#define QX_CB_LAST_EVENT 16
#define QX_EV_SERVER_PACKET 13 /* data: a packet from the game server */
#define QX_EV_CONSOLE_LINE 14  /* data: a line of console text */

#define QX_CB_VERSION 17        /* -> 1199 */
#define QX_CB_DERIVE_KEY 18     /* data: "x a b c d" -> key text */
#define QX_CB_CONST_19 19       /* -> 90000 */
#define QX_CB_CONST_20 20       /* -> 90000 */
#define QX_CB_CONST_21 21       /* -> 90000 */
#define QX_CB_CONST_22 22       /* -> 4 */
#define QX_CB_SEAL_EXPONENT 23  /* -> pointer to 4 bytes, little-endian */
#define QX_CB_SEAL_MODULUS 24   /* -> pointer to 4 bytes, little-endian */
#define QX_CB_COMPLETE 51       /* data: text buffer completed in place */
#define QX_CB_WANTED 113        /* -> 1 if cl_quellor is "1..." and enabled */
#define QX_CB_ENABLE 117        /* order: enable */
#define QX_CB_DISABLE 118       /* order: disable at next start-up */
#define QX_CB_ENABLED_STATE 119 /* -> 0 enabled, -2 disabled */
#define QX_CB_SCAN_STATUS 121   /* -> 0 or 1 */

/* ---- codes of the host's numbered query operation --------------------- */

#define QX_Q_CVAR 103              /* buffer: name in, value out; 0 = success */
#define QX_Q_SS_LOG_DETAIL 104     /* screenshot detail: name in, value out */
#define QX_Q_SERVER_ADDRESS 105    /* "host:port", empty when not connected */
#define QX_Q_BIND_FIND 106         /* "%d %s" -> index of next matching key */
#define QX_Q_BIND_TEXT 107         /* key index -> its binding */
#define QX_Q_BIND_NAME 108         /* key index -> its name */
#define QX_Q_CVAR_FIND 109         /* search text -> next matching variable */
#define QX_Q_CVAR_NEXT_USER 110    /* -> name pointer; buffer: flags */
#define QX_Q_CVAR_NEXT_CHANGED 111 /* -> name pointer; buffer: value */
#define QX_Q_HOST_TEXT_112 112
#define QX_Q_HOST_TEXT_113 113
#define QX_Q_HOST_REPORT 115 /* report text; non-zero result: send it */
#define QX_Q_LIST_ENTRY 118  /* numbered host list entry */
#define QX_Q_HOST_TEXT_119 119

/* Names the client asks QX_Q_SS_LOG_DETAIL for. The host replaces the name
 * in the buffer by its value; whatever the buffer holds afterwards is shown
 * in the screenshot's text panel and its log line. */
#define QX_SS_DETAIL_GAME "game"     /* heading: the game's name */
#define QX_SS_DETAIL_MAP "map"       /* heading: the map or level */
#define QX_SS_DETAIL_PLAYER "player" /* server screenshots: player's name */
/* Host variable (QX_Q_CVAR) whose value follows the GUID in the panel. */
#define QX_SS_NAME_CVAR "name"

/* Host variable that holds the player GUID. The client reads it with
 * QX_Q_CVAR once the host has run a few frames; a host without it leaves
 * the GUID empty. */
#define QX_GUID_CVAR "cl_guid"

/* ---- callbacks -------------------------------------------------------- */

/* Client operations, stored into the record at start-up. */
typedef const char *(QX_CDECL *QxDigestFn)(const void *data, int32_t length,
                                           uint32_t seed);
typedef const char *(QX_CDECL *QxConnectHookFn)(int32_t mode, char *buffer,
                                                int32_t *length);
typedef int32_t(QX_CDECL *QxSecondHookFn)(int32_t a, int32_t b);
typedef void(QX_CDECL *QxThirdHookFn)(void);

/* Host operations. All but the capture query are required: the client
 * calls them without a null test (and never starts without the query).
 *
 * The named operation: "set_cl_quellor" with "1" or "0" (store it in the
 * host variable cl_quellor, kept across runs: the client starts only while
 * it begins with 1), "Cmd_Exec" with console text for the game to run. */
typedef void(QX_CDECL *QxNamedOpFn)(const char *name, const char *argument);
/* code, buffer of bufferSize bytes (at least 256): the client puts the
 * question into the buffer and the host its answer. The result is a status
 * (0 = success for QX_Q_CVAR), a number, or a pointer, by code. */
typedef intptr_t(QX_CDECL *QxQueryFn)(int32_t code, char *buffer,
                                      int32_t bufferSize);
/* One console line, shown after the label in QxGameInterface.msgPrefix;
 * one is always 1. "[skipnotify]" at the start of the label asks for the
 * console only, not the notification lines on screen. */
typedef void(QX_CDECL *QxPrintFn)(const char *text, int32_t one);
typedef void(QX_CDECL *QxSendFn)(int32_t length, const void *packet);
typedef void(QX_CDECL *QxSendOobFn)(const char *address, int32_t port,
                                    int32_t length, const void *packet);
/* The host capture query: code in, number or function out. It lets the
 * client read the host's own frame when the screen itself cannot be read.
 * Recommended rather than optional: without it start-up prints "Warning:
 * Corrupted Interface", and a screenshot can come only from the screen
 * (Windows; elsewhere it fails). A host without read-back fills it with a
 * function that answers 0.
 *   QX_CAP_READBACK   101  the read-back function (QxReadBackFn), 0 if none
 *   QX_CAP_WIDTH      102  width of the host's frame in pixels
 *   QX_CAP_HEIGHT     103  height of the host's frame in pixels
 *   QX_CAP_FORMAT     104  non-zero when read-back is available; passed to
 *                          the read-back function as its format code
 *   QX_CAP_TYPE       105  the type code passed to the read-back function
 * A host without read-back answers 0 to QX_CAP_FORMAT. */
typedef intptr_t(QX_CDECL *QxCaptureQueryFn)(int32_t code);
#define QX_CAP_READBACK 101
#define QX_CAP_WIDTH 102
#define QX_CAP_HEIGHT 103
#define QX_CAP_FORMAT 104
#define QX_CAP_TYPE 105
/* The read-back function: copies the rectangle x, y, width, height of the
 * host's frame (in the host's own coordinates) into
 * destination as height rows of 3 * width bytes, red, green, blue, the
 * bottom row of the rectangle first. Rows are tightly packed, with no
 * padding: a host whose read-pixels call aligns rows to 4 bytes by default
 * sets its pack alignment to 1 first (the client's buffer takes padded rows
 * without harm, but the picture is then skewed). format and type are the
 * answers to QX_CAP_FORMAT and QX_CAP_TYPE. On 32-bit Windows it has the
 * system's convention (__stdcall), as the system's graphics libraries do;
 * the client restores its stack after the call, so a __cdecl function
 * works as well. */
#if defined(_WIN32) && !defined(_WIN64)
#define QX_READBACK_CALL __stdcall
#else
#define QX_READBACK_CALL
#endif
typedef void(QX_READBACK_CALL *QxReadBackFn)(int32_t x, int32_t y,
                                             int32_t width, int32_t height,
                                             int32_t format, int32_t type,
                                             void *destination);
/* Secondary record: receives warning lines and other forwarded text. */
typedef void(QX_CDECL *QxForwardFn)(const char *first, const char *line);

/* ---- the records ------------------------------------------------------ */

typedef struct QxSecondaryHost {
  uint32_t magic; /* QX_SECONDARY_MAGIC */
  uint8_t reserved[312];
  QxForwardFn forward; /* offset 316 */
} QxSecondaryHost;

#define QX_GUID_SIZE 33
#define QX_PREFIX_SIZE 32
#define QX_HOMEDIR_SIZE 256

typedef struct QxGameInterface {
  uint32_t magic;                 /*   0 host: QX_INTERFACE_MAGIC */
  QxDigestFn digest;              /*   4 client: seeded MD5 as hex text */
  uint32_t reserved8;             /*   8 host */
  uintptr_t agentModule;          /*  12 client: agent library handle */
  int32_t replacementReady;       /*  16 client */
  char serverGuid[QX_GUID_SIZE];  /*  20 client: server-assigned GUID */
  char msgPrefix[QX_PREFIX_SIZE]; /*  53 client: label ahead of lines */
  char homeDir[QX_HOMEDIR_SIZE];  /*  85 host or client */
  uint8_t reserved341[19];        /* 341 host */
  int32_t agentParams[4];         /* 360 client */
  QxNamedOpFn namedOp;            /* 376 host */
  QxQueryFn query;                /* 380 host */
  QxPrintFn print;                /* 384 host */
  QxSendFn sendToServer;          /* 388 host */
  uint32_t reserved392[2];        /* 392 host */
  QxSendOobFn sendOob;            /* 400 host */
  QxCaptureQueryFn captureQuery;  /* 404 host, recommended (see above) */
  QxConnectHookFn connectHook;    /* 408 client */
  QxSecondHookFn secondHook;      /* 412 client */
  QxThirdHookFn thirdHook;        /* 416 client */
  QxSecondaryHost *secondary;     /* 420 host, optional */
} QxGameInterface;

/* ---- entry points ----------------------------------------------------- */

typedef const char *(QX_CDECL *QxFrameEntryFn)(QxGameInterface *gi,
                                               int32_t budget);
typedef intptr_t(QX_CDECL *QxEventEntryFn)(QxGameInterface *gi, int32_t code,
                                           int32_t length, const void *data,
                                           int32_t retries);

#if defined(__cplusplus) || \
    (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
#ifdef __cplusplus
#define QX_STATIC_ASSERT static_assert
#else
#define QX_STATIC_ASSERT _Static_assert
#endif
#if UINTPTR_MAX == 0xFFFFFFFFu
QX_STATIC_ASSERT(offsetof(QxGameInterface, digest) == 4, "digest");
QX_STATIC_ASSERT(offsetof(QxGameInterface, agentModule) == 12, "agentModule");
QX_STATIC_ASSERT(offsetof(QxGameInterface, replacementReady) == 16, "ready");
QX_STATIC_ASSERT(offsetof(QxGameInterface, serverGuid) == 20, "serverGuid");
QX_STATIC_ASSERT(offsetof(QxGameInterface, msgPrefix) == 53, "msgPrefix");
QX_STATIC_ASSERT(offsetof(QxGameInterface, homeDir) == 85, "homeDir");
QX_STATIC_ASSERT(offsetof(QxGameInterface, agentParams) == 360, "params");
QX_STATIC_ASSERT(offsetof(QxGameInterface, namedOp) == 376, "namedOp");
QX_STATIC_ASSERT(offsetof(QxGameInterface, query) == 380, "query");
QX_STATIC_ASSERT(offsetof(QxGameInterface, print) == 384, "print");
QX_STATIC_ASSERT(offsetof(QxGameInterface, sendToServer) == 388, "send");
QX_STATIC_ASSERT(offsetof(QxGameInterface, sendOob) == 400, "sendOob");
QX_STATIC_ASSERT(offsetof(QxGameInterface, captureQuery) == 404, "capture");
QX_STATIC_ASSERT(offsetof(QxGameInterface, connectHook) == 408, "connect");
QX_STATIC_ASSERT(offsetof(QxGameInterface, secondHook) == 412, "second");
QX_STATIC_ASSERT(offsetof(QxGameInterface, thirdHook) == 416, "third");
QX_STATIC_ASSERT(offsetof(QxGameInterface, secondary) == 420, "secondary");
QX_STATIC_ASSERT(sizeof(QxGameInterface) == 424, "size");
QX_STATIC_ASSERT(offsetof(QxSecondaryHost, forward) == 316, "forward");
#endif
#endif

#ifdef __cplusplus
}
#endif

#endif /* QX_GAME_INTERFACE_H */
