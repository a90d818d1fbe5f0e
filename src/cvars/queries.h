// Searches and reports of the host's console variables and key bindings,
// for the player's console and for the server. Everything comes from the
// host's numbered queries; values of secret names are never sent.
#pragma once

#include <cstdint>

#include "common/protocol.h"

#include "qx/game_interface.h"

namespace qx::cvars {

// Room for a reply: the longest message and the seal around it.
constexpr int kReplyCapacity = protocol::kMaxMessage + protocol::kSealOverhead;
constexpr int kBindingsReplyLimit = 1024;  // "A": entries and summary
constexpr int kNamesReplyLimit = 990;      // "Q": names
constexpr int kNamesReplyMax = 1024;       // "Q": with its summary
// Hosts that never end an enumeration stop here.
constexpr int32_t kMaxEnumeration = 65536;

enum class ReportKind {
  Plain,    // "M"
  Watched,  // "L"; also switches on violation reports
};

// ---- reply builders --------------------------------------------------------
//
// Each writes one reply text with its terminator into reply (at least
// kReplyCapacity bytes) and returns its length including the terminator;
// 0 means that there is no reply.

int buildVariableReport(QxGameInterface *gi, const char *name, ReportKind kind,
                        uint8_t *reply);
int buildBindingsReport(QxGameInterface *gi, const char *text, uint8_t *reply);
int buildVariablesReport(QxGameInterface *gi, const char *text, uint8_t *reply);
int buildUserVariablesReport(QxGameInterface *gi, uint8_t *reply);
int buildChangedVariablesReport(QxGameInterface *gi, uint8_t *reply);
int buildListAcknowledgement(const char *request, uint8_t *reply);

// ---- server requests under 'B' ---------------------------------------------
//
// bytes are what follows the two code bytes: length bytes, not necessarily
// terminated. Replies are sealed when permitted, then queued or sent.

void reportVariable(QxGameInterface *gi, const uint8_t *bytes, int length,
                    ReportKind kind);
void reportBindings(QxGameInterface *gi, const uint8_t *bytes, int length);
void reportVariables(QxGameInterface *gi, const uint8_t *bytes, int length);
void reportUserVariables(QxGameInterface *gi);
void reportChangedVariables(QxGameInterface *gi);
void acknowledgeListRequest(QxGameInterface *gi, const uint8_t *bytes,
                            int length);

// The "L" report of a variable whose rule the continuous check found broken.
void reportViolation(QxGameInterface *gi, const char *name);

// ---- console commands ------------------------------------------------------

void searchBindingsCommand(QxGameInterface *gi, const char *text);   // BindSrch
void searchVariablesCommand(QxGameInterface *gi, const char *text);  // CvarSrch
void userVariablesCommand(QxGameInterface *gi);     // qx_CvarUser
void changedVariablesCommand(QxGameInterface *gi);  // qx_CvarChanged

}  // namespace qx::cvars
