#include "screenshot/annotate.h"

#include <cstring>

#include "common/text.h"
#include "screenshot/capture.h"
#include "screenshot/slices.h"

namespace qx::screenshot {

namespace {

constexpr int kGlyphCount = 95;
constexpr int kGlyphBytes = kCellWidth * kCellHeight + 1;  // 78
constexpr int kHexCount = 16;
constexpr int kHexHeight = 5;
constexpr int kHexBytes = kCellWidth * kHexHeight + 1;  // 36

constexpr uint32_t kPanelHeight = 86;   // added to the bottom margin
constexpr uint32_t kTextTop = 21;       // first text row below the picture
constexpr uint32_t kLineSpacing = 13;   // rows from one line to the next
constexpr uint32_t kTextLeft = 15;      // column of the first character
constexpr uint32_t kCharAdvance = 8;    // columns from one character on
constexpr uint32_t kTextWidthPad = 30;  // image width >= 8 * longest + 30

// Generated glyph tables: each glyph is its rows from the top, each row
// from the left, '.' for background and 'X' for ink.

// Glyphs of the character codes 32 to 126, 7 x 11 pixels.
char g_glyphs[kGlyphCount][kGlyphBytes] = {
    // space
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    ".......",
    // !
    "......."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "......."
    "...X..."
    "......."
    ".......",
    // "
    "......."
    "..X.X.."
    "..X.X.."
    "..X.X.."
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    ".......",
    // #
    "......."
    "..X.X.."
    "..X.X.."
    "XXXXXXX"
    "..X.X.."
    "..X.X.."
    "XXXXXXX"
    "..X.X.."
    "..X.X.."
    "......."
    ".......",
    // $
    "......."
    "...X..."
    ".XXXXX."
    "X..X..."
    ".XXXX.."
    "...X.X."
    "...X.X."
    "XXXXX.."
    "...X..."
    "......."
    ".......",
    // %
    "......."
    ".X....."
    "X.X...X"
    ".X...X."
    "....X.."
    "...X..."
    "..X...."
    ".X...X."
    "X...X.X"
    ".....X."
    ".......",
    // &
    "......."
    ".XXX..."
    "X...X.."
    "X...X.."
    ".XXX..."
    "X.X...."
    "X..X.X."
    "X...X.."
    ".XXX.X."
    "......."
    ".......",
    // '
    "......."
    "...X..."
    "...X..."
    "...X..."
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    ".......",
    // (
    "......."
    "....X.."
    "...X..."
    "..X...."
    "..X...."
    "..X...."
    "..X...."
    "..X...."
    "...X..."
    "....X.."
    ".......",
    // )
    "......."
    "..X...."
    "...X..."
    "....X.."
    "....X.."
    "....X.."
    "....X.."
    "....X.."
    "...X..."
    "..X...."
    ".......",
    // *
    "......."
    "......."
    "...X..."
    "X..X..X"
    ".X.X.X."
    "..XXX.."
    ".X.X.X."
    "X..X..X"
    "...X..."
    "......."
    ".......",
    // +
    "......."
    "......."
    "...X..."
    "...X..."
    "...X..."
    "XXXXXXX"
    "...X..."
    "...X..."
    "...X..."
    "......."
    ".......",
    // ,
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    "...XX.."
    "...XX.."
    "....X.."
    "...X..."
    ".......",
    // -
    "......."
    "......."
    "......."
    "......."
    "......."
    "XXXXXXX"
    "......."
    "......."
    "......."
    "......."
    ".......",
    // .
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    "...XX.."
    "...XX.."
    "......."
    ".......",
    // /
    "......."
    "......X"
    ".....X."
    ".....X."
    "....X.."
    "...X..."
    "..X...."
    ".X....."
    ".X....."
    "X......"
    ".......",
    // 0
    "......."
    "..XXX.."
    ".X...X."
    "X....XX"
    "X...X.X"
    "X..X..X"
    "X.X...X"
    "XX....X"
    ".X...X."
    "..XXX.."
    ".......",
    // 1
    "......."
    "...X..."
    "..XX..."
    ".X.X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    ".XXXXX."
    ".......",
    // 2
    "......."
    ".XXXXX."
    "X.....X"
    "......X"
    ".....X."
    "...XX.."
    "..X...."
    ".X....."
    "X......"
    "XXXXXXX"
    ".......",
    // 3
    "......."
    ".XXXXX."
    "X.....X"
    "......X"
    "......X"
    "..XXXX."
    "......X"
    "......X"
    "X.....X"
    ".XXXXX."
    ".......",
    // 4
    "......."
    "....XX."
    "...X.X."
    "..X..X."
    ".X...X."
    "X....X."
    "XXXXXXX"
    ".....X."
    ".....X."
    ".....X."
    ".......",
    // 5
    "......."
    "XXXXXXX"
    "X......"
    "X......"
    "XXXXXX."
    "......X"
    "......X"
    "......X"
    "X.....X"
    ".XXXXX."
    ".......",
    // 6
    "......."
    "..XXXX."
    ".X....."
    "X......"
    "X......"
    "XXXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    ".XXXXX."
    ".......",
    // 7
    "......."
    "XXXXXXX"
    "......X"
    ".....X."
    "....X.."
    "...X..."
    "..X...."
    "..X...."
    "..X...."
    "..X...."
    ".......",
    // 8
    "......."
    ".XXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    ".XXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    ".XXXXX."
    ".......",
    // 9
    "......."
    ".XXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    ".XXXXXX"
    "......X"
    "......X"
    ".....X."
    ".XXXX.."
    ".......",
    // :
    "......."
    "......."
    "......."
    "...XX.."
    "...XX.."
    "......."
    "......."
    "...XX.."
    "...XX.."
    "......."
    ".......",
    // ;
    "......."
    "......."
    "......."
    "...XX.."
    "...XX.."
    "......."
    "......."
    "...XX.."
    "...XX.."
    "....X.."
    "...X...",
    // <
    "......."
    ".....X."
    "....X.."
    "...X..."
    "..X...."
    ".X....."
    "..X...."
    "...X..."
    "....X.."
    ".....X."
    ".......",
    // =
    "......."
    "......."
    "......."
    "......."
    "XXXXXXX"
    "......."
    "XXXXXXX"
    "......."
    "......."
    "......."
    ".......",
    // >
    "......."
    ".X....."
    "..X...."
    "...X..."
    "....X.."
    ".....X."
    "....X.."
    "...X..."
    "..X...."
    ".X....."
    ".......",
    // ?
    "......."
    ".XXXXX."
    "X.....X"
    "......X"
    ".....X."
    "....X.."
    "...X..."
    "...X..."
    "......."
    "...X..."
    ".......",
    // @
    "......."
    ".XXXXX."
    "X.....X"
    "X..XXXX"
    "X.X...X"
    "X.X...X"
    "X..XXXX"
    "X......"
    "X......"
    ".XXXXX."
    ".......",
    // A
    "......."
    "..XXX.."
    ".X...X."
    "X.....X"
    "X.....X"
    "X.....X"
    "XXXXXXX"
    "X.....X"
    "X.....X"
    "X.....X"
    ".......",
    // B
    "......."
    "XXXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    "XXXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    "XXXXXX."
    ".......",
    // C
    "......."
    ".XXXXX."
    "X.....X"
    "X......"
    "X......"
    "X......"
    "X......"
    "X......"
    "X.....X"
    ".XXXXX."
    ".......",
    // D
    "......."
    "XXXXX.."
    "X....X."
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X....X."
    "XXXXX.."
    ".......",
    // E
    "......."
    "XXXXXXX"
    "X......"
    "X......"
    "X......"
    "XXXXXX."
    "X......"
    "X......"
    "X......"
    "XXXXXXX"
    ".......",
    // F
    "......."
    "XXXXXXX"
    "X......"
    "X......"
    "X......"
    "XXXXXX."
    "X......"
    "X......"
    "X......"
    "X......"
    ".......",
    // G
    "......."
    ".XXXXX."
    "X.....X"
    "X......"
    "X......"
    "X..XXXX"
    "X.....X"
    "X.....X"
    "X.....X"
    ".XXXXX."
    ".......",
    // H
    "......."
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "XXXXXXX"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    ".......",
    // I
    "......."
    ".XXXXX."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    ".XXXXX."
    ".......",
    // J
    "......."
    "..XXXXX"
    "....X.."
    "....X.."
    "....X.."
    "....X.."
    "....X.."
    "X...X.."
    "X...X.."
    ".XXX..."
    ".......",
    // K
    "......."
    "X.....X"
    "X....X."
    "X...X.."
    "X..X..."
    "XXX...."
    "X..X..."
    "X...X.."
    "X....X."
    "X.....X"
    ".......",
    // L
    "......."
    "X......"
    "X......"
    "X......"
    "X......"
    "X......"
    "X......"
    "X......"
    "X......"
    "XXXXXXX"
    ".......",
    // M
    "......."
    "X.....X"
    "XX...XX"
    "X.X.X.X"
    "X..X..X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    ".......",
    // N
    "......."
    "X.....X"
    "XX....X"
    "X.X...X"
    "X..X..X"
    "X...X.X"
    "X....XX"
    "X.....X"
    "X.....X"
    "X.....X"
    ".......",
    // O
    "......."
    ".XXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    ".XXXXX."
    ".......",
    // P
    "......."
    "XXXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    "XXXXXX."
    "X......"
    "X......"
    "X......"
    "X......"
    ".......",
    // Q
    "......."
    ".XXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X...X.X"
    "X....X."
    ".XXXX.X"
    ".......",
    // R
    "......."
    "XXXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    "XXXXXX."
    "X...X.."
    "X....X."
    "X.....X"
    "X.....X"
    ".......",
    // S
    "......."
    ".XXXXX."
    "X.....X"
    "X......"
    "X......"
    ".XXXXX."
    "......X"
    "......X"
    "X.....X"
    ".XXXXX."
    ".......",
    // T
    "......."
    "XXXXXXX"
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    ".......",
    // U
    "......."
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    ".XXXXX."
    ".......",
    // V
    "......."
    "X.....X"
    "X.....X"
    "X.....X"
    ".X...X."
    ".X...X."
    ".X...X."
    "..X.X.."
    "..X.X.."
    "...X..."
    ".......",
    // W
    "......."
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X..X..X"
    "X..X..X"
    "X.X.X.X"
    "XX...XX"
    "X.....X"
    ".......",
    // X
    "......."
    "X.....X"
    ".X...X."
    "..X.X.."
    "...X..."
    "...X..."
    "...X..."
    "..X.X.."
    ".X...X."
    "X.....X"
    ".......",
    // Y
    "......."
    "X.....X"
    ".X...X."
    "..X.X.."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    ".......",
    // Z
    "......."
    "XXXXXXX"
    ".....X."
    "....X.."
    "...X..."
    "...X..."
    "..X...."
    ".X....."
    "X......"
    "XXXXXXX"
    ".......",
    // [
    "......."
    "..XXXX."
    "..X...."
    "..X...."
    "..X...."
    "..X...."
    "..X...."
    "..X...."
    "..X...."
    "..XXXX."
    ".......",
    // backslash
    "......."
    "X......"
    ".X....."
    ".X....."
    "..X...."
    "...X..."
    "....X.."
    ".....X."
    ".....X."
    "......X"
    ".......",
    // ]
    "......."
    ".XXXX.."
    "....X.."
    "....X.."
    "....X.."
    "....X.."
    "....X.."
    "....X.."
    "....X.."
    ".XXXX.."
    ".......",
    // ^
    "......."
    "...X..."
    "..X.X.."
    ".X...X."
    "X.....X"
    "......."
    "......."
    "......."
    "......."
    "......."
    ".......",
    // _
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    "XXXXXXX"
    ".......",
    // `
    "......."
    "..X...."
    "...X..."
    "....X.."
    "......."
    "......."
    "......."
    "......."
    "......."
    "......."
    ".......",
    // a
    "......."
    "......."
    "......."
    "......."
    ".XXXXX."
    "......X"
    ".XXXXXX"
    "X.....X"
    "X....XX"
    ".XXXX.X"
    ".......",
    // b
    "......."
    "X......"
    "X......"
    "X......"
    "XXXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "XXXXXX."
    ".......",
    // c
    "......."
    "......."
    "......."
    "......."
    ".XXXXX."
    "X.....X"
    "X......"
    "X......"
    "X.....X"
    ".XXXXX."
    ".......",
    // d
    "......."
    "......X"
    "......X"
    "......X"
    ".XXXXXX"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    ".XXXXXX"
    ".......",
    // e
    "......."
    "......."
    "......."
    "......."
    ".XXXXX."
    "X.....X"
    "XXXXXXX"
    "X......"
    "X.....X"
    ".XXXXX."
    ".......",
    // f
    "......."
    "...XXX."
    "..X...."
    "..X...."
    "XXXXX.."
    "..X...."
    "..X...."
    "..X...."
    "..X...."
    "..X...."
    ".......",
    // g
    "......."
    "......."
    "......."
    "......."
    ".XXXXXX"
    "X.....X"
    "X.....X"
    "X.....X"
    ".XXXXXX"
    "......X"
    ".XXXXX.",
    // h
    "......."
    "X......"
    "X......"
    "X......"
    "XXXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    ".......",
    // i
    "......."
    "...X..."
    "......."
    "......."
    "..XX..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "..XXX.."
    ".......",
    // j
    "......."
    "....X.."
    "......."
    "......."
    "...XX.."
    "....X.."
    "....X.."
    "....X.."
    "....X.."
    "X...X.."
    ".XXX...",
    // k
    "......."
    "X......"
    "X......"
    "X......"
    "X....X."
    "X...X.."
    "XXXX..."
    "X...X.."
    "X....X."
    "X.....X"
    ".......",
    // l
    "......."
    "..XX..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "..XXX.."
    ".......",
    // m
    "......."
    "......."
    "......."
    "......."
    "XXX.XX."
    "X..X..X"
    "X..X..X"
    "X..X..X"
    "X..X..X"
    "X..X..X"
    ".......",
    // n
    "......."
    "......."
    "......."
    "......."
    "XXXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    ".......",
    // o
    "......."
    "......."
    "......."
    "......."
    ".XXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    ".XXXXX."
    ".......",
    // p
    "......."
    "......."
    "......."
    "......."
    "XXXXXX."
    "X.....X"
    "X.....X"
    "X.....X"
    "XXXXXX."
    "X......"
    "X......",
    // q
    "......."
    "......."
    "......."
    "......."
    ".XXXXXX"
    "X.....X"
    "X.....X"
    "X.....X"
    ".XXXXXX"
    "......X"
    "......X",
    // r
    "......."
    "......."
    "......."
    "......."
    "X.XXXX."
    "XX....X"
    "X......"
    "X......"
    "X......"
    "X......"
    ".......",
    // s
    "......."
    "......."
    "......."
    "......."
    ".XXXXXX"
    "X......"
    ".XXXXX."
    "......X"
    "......X"
    "XXXXXX."
    ".......",
    // t
    "......."
    "..X...."
    "..X...."
    "..X...."
    "XXXXX.."
    "..X...."
    "..X...."
    "..X...."
    "..X...X"
    "...XXX."
    ".......",
    // u
    "......."
    "......."
    "......."
    "......."
    "X.....X"
    "X.....X"
    "X.....X"
    "X.....X"
    "X....XX"
    ".XXXX.X"
    ".......",
    // v
    "......."
    "......."
    "......."
    "......."
    "X.....X"
    "X.....X"
    ".X...X."
    ".X...X."
    "..X.X.."
    "...X..."
    ".......",
    // w
    "......."
    "......."
    "......."
    "......."
    "X.....X"
    "X.....X"
    "X..X..X"
    "X..X..X"
    "X.X.X.X"
    ".X...X."
    ".......",
    // x
    "......."
    "......."
    "......."
    "......."
    "X.....X"
    ".X...X."
    "..XXX.."
    "..XXX.."
    ".X...X."
    "X.....X"
    ".......",
    // y
    "......."
    "......."
    "......."
    "......."
    "X.....X"
    "X.....X"
    "X.....X"
    "X....XX"
    ".XXXX.X"
    "......X"
    ".XXXXX.",
    // z
    "......."
    "......."
    "......."
    "......."
    "XXXXXXX"
    ".....X."
    "...XX.."
    "..X...."
    ".X....."
    "XXXXXXX"
    ".......",
    // {
    "......."
    "....XX."
    "...X..."
    "...X..."
    "...X..."
    ".XX...."
    "...X..."
    "...X..."
    "...X..."
    "....XX."
    ".......",
    // |
    "......."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    "...X..."
    ".......",
    // }
    "......."
    ".XX...."
    "...X..."
    "...X..."
    "...X..."
    "....XX."
    "...X..."
    "...X..."
    "...X..."
    ".XX...."
    ".......",
    // ~
    "......."
    "......."
    "......."
    "......."
    ".XX...X"
    "X..X..X"
    "X...XX."
    "......."
    "......."
    "......."
    ".......",
};

// Hexadecimal digits 0 to F, 7 x 5 pixels.
char g_hexDigits[kHexCount][kHexBytes] = {
    // 0
    "..XXX.."
    ".X...X."
    ".X.X.X."
    ".X...X."
    "..XXX..",
    // 1
    "...X..."
    "..XX..."
    "...X..."
    "...X..."
    "..XXX..",
    // 2
    ".XXXX.."
    ".....X."
    "..XXX.."
    ".X....."
    ".XXXXX.",
    // 3
    ".XXXX.."
    ".....X."
    "..XXX.."
    ".....X."
    ".XXXX..",
    // 4
    ".X...X."
    ".X...X."
    ".XXXXX."
    ".....X."
    ".....X.",
    // 5
    ".XXXXX."
    ".X....."
    ".XXXX.."
    ".....X."
    ".XXXX..",
    // 6
    "..XXX.."
    ".X....."
    ".XXXX.."
    ".X...X."
    "..XXX..",
    // 7
    ".XXXXX."
    ".....X."
    "....X.."
    "...X..."
    "...X...",
    // 8
    "..XXX.."
    ".X...X."
    "..XXX.."
    ".X...X."
    "..XXX..",
    // 9
    "..XXX.."
    ".X...X."
    "..XXXX."
    ".....X."
    "..XXX..",
    // A
    "..XXX.."
    ".X...X."
    ".XXXXX."
    ".X...X."
    ".X...X.",
    // B
    ".XXXX.."
    ".X...X."
    ".XXXX.."
    ".X...X."
    ".XXXX..",
    // C
    "..XXXX."
    ".X....."
    ".X....."
    ".X....."
    "..XXXX.",
    // D
    ".XXXX.."
    ".X...X."
    ".X...X."
    ".X...X."
    ".XXXX..",
    // E
    ".XXXXX."
    ".X....."
    ".XXXX.."
    ".X....."
    ".XXXXX.",
    // F
    ".XXXXX."
    ".X....."
    ".XXXX.."
    ".X....."
    ".X.....",
};

bool g_fontsPrepared = false;

void convertTable(char *table, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i)
    if (table[i] != '\0')
      table[i] = table[i] == '.' ? 0 : static_cast<char>(255);
}

// Copies the font bytes of one cell-wide glyph of rows rows to the image.
void drawGlyph(uint8_t *image, uint32_t rowLength, uint32_t x, uint32_t top,
               const char *glyph, int rows) {
  for (int r = 0; r < rows; ++r) {
    uint8_t *row = image + size_t{top + r} * rowLength + 1 + size_t{x} * 3;
    for (int col = 0; col < kCellWidth; ++col) {
      const uint8_t value = static_cast<uint8_t>(glyph[r * kCellWidth + col]);
      row[col * 3] = row[col * 3 + 1] = row[col * 3 + 2] = value;
    }
  }
}

void greyPixel(uint8_t *image, uint32_t rowLength, uint32_t x, uint32_t y) {
  std::memset(image + size_t{y} * rowLength + 1 + size_t{x} * 3, kGrey, 3);
}

uint32_t rowLength(const Capture &c) {
  return 3 * (uint32_t{c.marginLeft} + c.outWidth + c.marginRight) + 1;
}

uint32_t imageHeight(const Capture &c) {
  return uint32_t{c.marginTop} + c.outHeight + c.marginBottom;
}

}  // namespace

void prepareFonts() {
  if (g_fontsPrepared) return;
  g_fontsPrepared = true;
  convertTable(&g_glyphs[0][0], sizeof g_glyphs);
  convertTable(&g_hexDigits[0][0], sizeof g_hexDigits);
}

void drawChar(uint8_t *image, uint32_t rowLength, uint32_t x, uint32_t top,
              uint8_t c) {
  prepareFonts();
  if (c >= 32 && c <= 126) {
    drawGlyph(image, rowLength, x, top, g_glyphs[c - 32], kCellHeight);
    return;
  }
  drawGlyph(image, rowLength, x, top, g_hexDigits[c >> 4], kHexHeight);
  drawGlyph(image, rowLength, x, top + kHexHeight + 1, g_hexDigits[c & 15],
            kHexHeight);
}

namespace {

// What each margin grows by so that a line of longest characters fits
// beside a picture bare pixels wide with its margins: both grow by one
// until it fits.
uint32_t marginGrowth(uint32_t bare, uint32_t longest) {
  const uint32_t wanted = kCharAdvance * longest + kTextWidthPad;
  return bare < wanted ? (wanted - bare + 1) / 2 : 0;
}

}  // namespace

uint64_t annotatedBytes(const Capture &c, uint32_t longest) {
  const uint32_t outWidth = c.width / c.step > 0 ? c.width / c.step : 1;
  const uint32_t outHeight = c.height / c.step > 0 ? c.height / c.step : 1;
  const uint32_t bare = uint32_t{c.marginLeft} + outWidth + c.marginRight;
  const uint64_t width = bare + 2 * uint64_t{marginGrowth(bare, longest)};
  const uint64_t height =
      uint64_t{c.marginTop} + outHeight + c.marginBottom + kPanelHeight;
  return height * (3 * width + 1);
}

int annotateBegin(Capture &c, const char lines[kLineCount][kTextMax + 1]) {
  prepareFonts();
  c.marginBottom = static_cast<uint16_t>(c.marginBottom + kPanelHeight);
  size_t longest = 0;
  for (int k = 0; k < kLineCount; ++k) {
    const size_t n = boundedLength(lines[k], kTextMax);
    if (n > longest) longest = n;
  }
  const uint32_t grow =
      marginGrowth(uint32_t{c.marginLeft} + c.outWidth + c.marginRight,
                   static_cast<uint32_t>(longest));
  c.marginLeft = static_cast<uint16_t>(c.marginLeft + grow);
  c.marginRight = static_cast<uint16_t>(c.marginRight + grow);
  const uint64_t size = uint64_t{imageHeight(c)} * rowLength(c);
  if (size > 0xFFFFFFFFu) return 0;
  c.imageSize = static_cast<uint32_t>(size);
  if (!growWork(c, c.imageSize)) return 0;
  c.slicing.done = 0;
  return 1;
}

Step annotateSlice(Capture &c) {
  const uint32_t length = rowLength(c);
  const uint32_t height = imageHeight(c);
  const uint32_t width = (length - 1) / 3;
  // The grey line between picture and text panel; the panel's height was
  // added to a bottom margin that was b0 before.
  const uint32_t b0 = c.marginBottom - kPanelHeight;
  const uint32_t separator = c.marginTop + c.outHeight + b0 - 1;
  // The picture: the rows the capture wrote; the others (all of them, for
  // a failed capture) stay black.
  const size_t pictureRow = size_t{c.outWidth} * 3 + 1;
  const uint32_t pictureRows =
      c.pixels && c.pixelsCapacity >= pictureRow * c.outHeight
          ? c.slicing.pictureRows
          : 0;
  uint32_t &y = c.slicing.done;
  for (uint32_t n = rowsPerSlice(length); n > 0 && y < height; --n, ++y) {
    uint8_t *row = c.work + size_t{y} * length;
    std::memset(row, 0, length);  // black, filter byte 0
    if (y == 0 || y == separator || y == height - 1) {
      std::memset(row + 1, kGrey, length - 1);
    } else {
      greyPixel(c.work, length, 0, y);
      greyPixel(c.work, length, width - 1, y);
    }
    if (y >= c.marginTop && y - c.marginTop < pictureRows &&
        y - c.marginTop < c.outHeight)
      std::memcpy(row + 1 + size_t{c.marginLeft} * 3,
                  c.pixels + (y - c.marginTop) * pictureRow + 1,
                  pictureRow - 1);
  }
  return y < height ? Step::More : Step::Done;
}

void annotateLine(Capture &c, const char *line, uint32_t k) {
  const uint32_t length = rowLength(c);
  const uint32_t top = c.marginTop + c.outHeight + kTextTop + kLineSpacing * k;
  for (uint32_t i = 0; i < kTextMax && line[i]; ++i) {
    // The cell's last byte lies at 66 + 24 i of its row.
    if (67 + 24 * i >= length) break;
    drawChar(c.work, length, kTextLeft + kCharAdvance * i, top,
             static_cast<uint8_t>(line[i]));
  }
}

int annotate(Capture &c, const char lines[kLineCount][kTextMax + 1]) {
  if (!annotateBegin(c, lines)) return 0;
  while (annotateSlice(c) == Step::More) {
  }
  for (uint32_t k = 0; k < kLineCount; ++k) annotateLine(c, lines[k], k);
  return 1;
}

}  // namespace qx::screenshot
