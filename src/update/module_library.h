// What the parts of module management share: loading the module libraries
// and calling their one export each, the module file names under the home
// directory, and the text of the server's module messages.
#pragma once

#include <cstdint>

#include "common/protocol.h"
#include "platform/platform.h"
#include "qx/game_interface.h"

namespace qx::update {

// The agent's export: (game interface, order, 0, argument) -> a number or
// an error text, by order.
using AgentEntry = intptr_t(QX_CDECL *)(QxGameInterface *gi, int32_t order,
                                        int32_t zero, const char *argument);

AgentEntry agentEntry(platform::Library lib);  // null when `a` is missing

// The version a module library reports: order 77 of an agent's `a`, cb 17
// of a replacement client. 0 when the library lacks the export or faults
// inside it. The question runs under a fault guard of its own, so that the
// caller still closes a library that faulted (a probed copy left loaded
// keeps its file on Windows, and its old code on a later load) and goes on
// to replace a broken agent; the fault is reported as a frame's is.
int32_t askAgentVersion(QxGameInterface *gi, platform::Library lib);
int32_t askClientVersion(QxGameInterface *gi, platform::Library lib);

// Loads the agent in use from the home directory unless one is loaded;
// false when it cannot be loaded.
bool loadAgent(QxGameInterface *gi);

// Full path of a module file: format with the platform letter, the version
// and the library suffix (formats that take no suffix ignore it). False,
// with out empty, when it does not fit.
bool moduleFilePath(char *out, const char *format, int32_t version);

// Copies from to to whole or not at all; false when it did not happen.
bool copyModuleFile(const char *from, const char *to);

// The text of a control message or an agent order (the bytes after the
// code byte) into out, which holds kMessageTextMax + 1 bytes: cut at its
// first zero and at the longest message, and terminated.
constexpr size_t kMessageTextMax = protocol::kMaxMessage;
void messageText(char *out, const uint8_t *text, int length);

}  // namespace qx::update
