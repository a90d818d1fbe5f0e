// Screenshot requests: five slots that move through four stages (capture
// and annotate, encode, upload to the server, store and log), their work
// cut into slices that fit a call's budget (host/call_budget.h), the server's
// requests and restarts, the player's qx_GetSs and qx_SsOptions, and the
// start-up preparation.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"
#include "screenshot/screenshot_state.h"
#include "screenshot/slices.h"

namespace qx::screenshot {

// Messages of the stages.
constexpr const char *kCorruptedInterface = "Warning: Corrupted Interface";
constexpr const char *kOutOfMemoryMessage =
    "Screenshot Error: not enough memory for the image";
constexpr const char *kCompressionMessage =
    "Screenshot Error: the image could not be compressed";
constexpr const char *kOptionsRefused =
    "Screenshot Options not changed - invalid value(s) specified";
constexpr const char *kLocalRefused =
    "Screenshot not taken: the server's screenshots are pending, try again "
    "in a moment";

// A new request: the server's (the message after its code byte, length
// bytes, not necessarily terminated) or the player's ("0"). Dropped when
// all five slots are busy or the text is empty or begins with a space. A
// local request (no words after the delay) never takes the last free slot:
// it is refused with kLocalRefused.
void queueScreenshot(QxGameInterface *gi, int32_t length, const char *text);

// qx_GetSs: a local screenshot, with a frame at the next call.
void takeLocalScreenshot();

// The scheduler, in every work frame: starts the capture of requests whose
// delay has run out, sends upload chunks, and spends the work frame's part
// of the call's budget on the work under way.
void runScreenshots(QxGameInterface *gi, uint32_t now, host::CallBudget &call);

// At the end of every call of ca: spends what is left of the call's budget
// on the work under way (capture slices, encoding, storing, giving retired
// buffers back); starts nothing. The screenshots take their turn of the
// call's budget before any later stage.
void continueScreenshots(QxGameInterface *gi, host::CallBudget &call);
// Some slot is busy or retired buffers wait.
bool anyPending();
// Some slot has work under way that continueScreenshots would do, or
// retired buffers wait to be given back.
bool workUnderWay();

// Start-up: one capture stage on the still empty first slot, within the
// budget of the call that starts the client, prepares the fonts; whatever
// it captured is discarded at the scheduler's first pass.
void prepareScreenshots(QxGameInterface *gi, uint32_t start,
                        host::CallBudget &call);

// qx_SsOptions with the text after the command name.
void setScreenshotOptions(const char *text);

// The server's resume request: the uploading slots with this transfer
// letter send again from chunk, while they have had fewer than 20.
void restartTransfer(uint8_t letter, uint32_t chunk);

// Releases every slot's capture record (unload).
void releaseScreenshots(State &state);

// ---- the stages, each (game interface, slot, now[, budget]) ---------------
//
// The sliced stages do as much of their work as the call's budget allows
// and leave the rest for later calls.

void captureStage(QxGameInterface *gi, Slot &slot, uint32_t now,
                  StageBudget &budget);
void encodeStage(QxGameInterface *gi, Slot &slot, uint32_t now,
                 StageBudget &budget);
void uploadStage(QxGameInterface *gi, Slot &slot, uint32_t now);
void storeStage(QxGameInterface *gi, Slot &slot, uint32_t now,
                StageBudget &budget);

// Ends a slot: closes and removes a PNG still being written, releases the
// capture record and clears the slot.
void finishSlot(Slot &slot);
// Closes and removes the temporary file of a store under way.
void endStore(Slot &slot);

// ---- upload messages -------------------------------------------------------

void sendTransferHeader(QxGameInterface *gi, Upload &transfer);
// True once every chunk has gone (the call after the last one).
bool sendTransferChunk(QxGameInterface *gi, Upload &transfer, uint32_t now);

// ---- shared by the stages --------------------------------------------------

bool isLocal(const Slot &slot);
// The host's screenshot detail for name (query 104) into out, 256 bytes;
// empty without a query operation.
void hostDetail(QxGameInterface *gi, const char *name, char *out);
// The current server address (query 105) into out, 256 bytes.
void serverAddress(QxGameInterface *gi, char *out);

}  // namespace qx::screenshot
