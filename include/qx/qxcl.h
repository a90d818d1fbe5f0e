/*
 * Quellor client: the two exported entry points.
 *
 * ca(gi, budget): call regularly, usually once per frame. budget >= 0 runs one
 *   frame, draining queued events for at most budget milliseconds (0 = no
 *   limit); budget < 0 runs only the newest queued event. Returns null, or
 *   "QX ERROR: Client Failed to Initialize".
 * cb(gi, code, length, data, retries): hands over an event (code <= 16: the
 *   data is copied and run in a later ca) or asks a question (see the QX_CB_
 *   codes). Returns a number or a pointer to text, by code; texts stay valid
 *   until the next entry call.
 *
 * A null gi is ignored: ca returns null and cb answers only QX_CB_VERSION.
 */
#ifndef QX_QXCL_H
#define QX_QXCL_H

#include "qx/game_interface.h"

#if defined(_WIN32)
#if defined(QX_BUILDING_LIBRARY)
#define QX_API __declspec(dllexport)
#else
#define QX_API
#endif
#else
#define QX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

QX_API const char *QX_CDECL ca(QxGameInterface *gi, int32_t budget);
QX_API intptr_t QX_CDECL cb(QxGameInterface *gi, int32_t code, int32_t length,
                            const void *data, int32_t retries);

#ifdef __cplusplus
}
#endif

#endif /* QX_QXCL_H */
