// Annotation: the captured picture framed in a black image with a grey
// border and a text panel underneath, into which five lines are drawn with
// the built-in bitmap fonts.
#pragma once

#include <cstdint>

#include "screenshot/screenshot_state.h"
#include "screenshot/slices.h"

namespace qx::screenshot {

constexpr int kCellWidth = 7;
constexpr int kCellHeight = 11;
constexpr uint8_t kGrey = 127;

// Converts both font tables in place, once for the life of the client:
// '.' becomes 0 and every other character 255.
void prepareFonts();

// Draws character code c with the top-left corner of its 7 x 11 cell at
// pixel column x and row top of an image of rows of rowLength bytes (a
// filter byte, then red-green-blue triples). Codes 32 to 126 show their
// glyph; any other byte shows its two hexadecimal digits stacked.
void drawChar(uint8_t *image, uint32_t rowLength, uint32_t x, uint32_t top,
              uint8_t c);

// Frames the capture's picture and draws the five lines (each at most 255
// characters) below it into the capture's work buffer; widens the image
// until the longest line fits. 0 when the buffer cannot be allocated. All
// of it in one call: annotateBegin, annotateSlice until done, annotateLine
// for each line.
int annotate(Capture &c, const char lines[kLineCount][kTextMax + 1]);

// Bytes of the annotated image of c's picture (width, height and step set)
// when its longest line has longest characters.
uint64_t annotatedBytes(const Capture &c, uint32_t longest);

// The same in steps. annotateBegin widens the image for the lines, sets
// imageSize and gets the buffer (0 when it cannot); annotateSlice fills a
// slice of rows (black, the grey frame and separator, the picture);
// annotateLine then draws line k over the finished rows.
int annotateBegin(Capture &c, const char lines[kLineCount][kTextMax + 1]);
Step annotateSlice(Capture &c);
void annotateLine(Capture &c, const char *line, uint32_t k);

}  // namespace qx::screenshot
