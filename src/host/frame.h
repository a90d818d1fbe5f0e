// The frame driver: what one call of ca does. Paced by qx_Sleep, due calls
// alternate between draining the event queue and a work frame that polls the
// client's UDP socket and runs the periodic steps of every subsystem.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "qx/game_interface.h"

namespace qx::host {

constexpr const char *kInitFailed = "QX ERROR: Client Failed to Initialize";
constexpr const char *kExceptionNotice = "O/S Exception Notice";

// Body of ca for budget >= 0.
const char *runFrame(QxGameInterface *gi, int32_t budget);

// After a fault was contained: "O/S Exception Notice" unless QX_IGNORE is
// set.
void reportContainedFault();

// The work frame; it runs only once start-up has completed.
void workFrame(QxGameInterface *gi);
// Its steps, which start-up runs once before it completes.
void workFrameSteps(QxGameInterface *gi);

// Hands one received datagram (with or without the FF FF FF FF prefix) on
// to the channel.
void handleDatagram(QxGameInterface *gi, const uint8_t *data, int length);

// Reads the datagrams waiting on socket through receive (the system's
// platform::socketReceive, or a stand-in) into the scratch buffer and hands
// each on: at most kDatagramsPerFrame receives, ending early when nothing
// is waiting or on an error other than a lost datagram, which is passed
// over so that the datagrams behind it are still read in this frame.
// Returns the receives made.
constexpr int kDatagramsPerFrame = 32;
using DatagramReceive = int (*)(platform::Socket s, void *buffer, int size);
int readDatagrams(QxGameInterface *gi, platform::Socket socket,
                  DatagramReceive receive);

// The client's own datagram socket for a master query: when it is not open
// yet it is opened (and read empty) as the work frame's datagram step does.
// kNoSocket when no socket could be created.
platform::Socket ownDatagramSocket(QxGameInterface *gi);

}  // namespace qx::host
