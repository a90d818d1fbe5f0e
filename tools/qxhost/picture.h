// The reference host's picture: the frame it "renders", which the client
// reads back through the capture query, and under Windows a real window
// that shows the same frame on the screen, where the client reads it from
// the primary surface.
#pragma once

#include <cstdint>
#include <vector>

#include "qx/game_interface.h"

namespace qxhost {

constexpr int32_t kFrameWidth = 640;
constexpr int32_t kFrameHeight = 480;

// The frame, top row first, red-green-blue.
const std::vector<uint8_t> &framePixels();

// The capture query of the game interface record.
intptr_t QX_CDECL captureQuery(int32_t code);

// Opens the game's window showing the frame and brings it to the front
// (Windows); elsewhere there is no window.
void openWindow();
// Handles the window's messages; called every frame.
void pumpWindow();

}  // namespace qxhost
