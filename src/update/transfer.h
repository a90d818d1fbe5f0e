// Server file transfer: the server announces a file ('G': size, MD5 digest,
// name), then sends it in numbered 1024-byte chunks ('H'). The client holds
// one transfer at a time in a buffer of the announced size, asks again for
// chunks it missed, and once the last byte is in checks the digest and
// writes the file under htm\ of the home directory, or to crptfile.dat when
// the digest is wrong.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"
#include "update/update_state.h"

namespace qx::update {

// Handler of 'G'. text (length bytes, terminated or not) is "size digest
// name". A new announcement always ends the transfer in progress. It is
// refused, leaving no transfer, when the digest is not 32 characters, the
// name is empty, not one plain file name or does not end in "htm", or the
// size is 0. A size above the cap (kTransferSizeMax) is handled as a failed
// allocation: the path stays set, with no buffer.
void announceTransfer(QxGameInterface *gi, int length, const uint8_t *text);

// Handler of 'H'. bytes (length bytes) are the chunk index, two bytes
// big-endian with the first signed, then the content for offset index *
// 1024. Chunks after a gap are discarded and draw a resend request for the
// first missing one, at most every 3000 ms; chunks with no transfer draw a
// "-1" request. Indices below 0 and chunks that start at or beyond the end
// of the file are discarded.
void receiveChunk(QxGameInterface *gi, int length, const uint8_t *bytes);

// Once 20000 ms have passed since the last chunk, frees an unfinished
// transfer and clears the record but the transfer letter, the time of the
// last resend request too, so that the next chunk draws a "-1" request at
// once.
void abandonStaleTransfer(uint32_t now);

// Frees the buffer and clears the record (unload).
void releaseTransfer(Transfer &t);

}  // namespace qx::update
