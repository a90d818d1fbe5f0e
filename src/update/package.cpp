#include "update/package.h"

#include <zlib.h>

#include <cstring>

#include "common/file.h"
#include "common/heap.h"
#include "common/md5.h"
#include "common/paths.h"
#include "common/protocol.h"

namespace qx::update {

namespace {

namespace p = protocol;

constexpr const char *kCannotOpenSource = "ERROR: Cannot open source file";
constexpr const char *kMemoryAllocation = "ERROR: Memory Allocation";
constexpr const char *kMismatchA = "ERROR: Security Mismatch (A)";
constexpr const char *kMismatchB = "ERROR: Security Mismatch (B)";
constexpr const char *kFailedToUncompress = "ERROR: Failed to Uncompress";
constexpr const char *kSizeMismatch = "ERROR: Size Mismatch";
constexpr const char *kMismatchC = "ERROR: Security Mismatch (C)";
constexpr const char *kCannotOpenTarget =
    "ERROR: Cannot open target file for writing";
constexpr const char *kFileWriteError = "ERROR: File Write Error";

constexpr int kDigestLength = 32;
constexpr uint8_t kNoDigit = 0xFF;

// Values of the digits that carry data: '0'-'9' and upper-case 'A'-'F'.
struct DataDigits {
  uint8_t value[256];
  constexpr DataDigits() : value() {
    for (int c = 0; c < 256; ++c) value[c] = kNoDigit;
    for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
      value[c] = static_cast<uint8_t>(c - 'A' + 10);
  }
};
constexpr DataDigits kDataDigits;

// A heap block of the update subsystem, released when it goes out of scope.
class Block {
 public:
  Block() = default;
  ~Block() { heap::release(data_); }
  Block(const Block &) = delete;
  Block &operator=(const Block &) = delete;
  bool allocate(uint32_t size) {
    data_ = static_cast<uint8_t *>(heap::allocate(size));
    return data_ != nullptr;
  }
  uint8_t *data() const { return data_; }

 private:
  uint8_t *data_ = nullptr;
};

// Streams a file through a fixed window and hands out the text of each
// "<p>" record: from after its tag to the next '<' or the end of the file.
class RecordReader {
 public:
  explicit RecordReader(File &file) : file_(file) {}

  // False at the end of the file, and at a record that does not fit the
  // window (tooLong() then tells so).
  bool next(const char *&begin, const char *&end);
  bool tooLong() const { return tooLong_; }

 private:
  static bool isRecordTag(const char *tag) {
    return tag[0] == p::kPackageRecordTag[0] &&
           (tag[1] | 0x20) == p::kPackageRecordTag[1] &&
           tag[2] == p::kPackageRecordTag[2];
  }
  // Moves the bytes from keep on to the front and reads behind them.
  void refill(size_t keep);

  File &file_;
  char window_[p::kPackageWindow];
  size_t used_ = 0;   // bytes in the window
  size_t pos_ = 0;    // where the search for the next '<' goes on
  bool end_ = false;  // the file has no more bytes
  bool tooLong_ = false;
};

void RecordReader::refill(size_t keep) {
  std::memmove(window_, window_ + keep, used_ - keep);
  used_ -= keep;
  pos_ = 0;
  const size_t got = file_.read(window_ + used_, sizeof window_ - used_);
  if (got == 0) end_ = true;
  used_ += got;
}

bool RecordReader::next(const char *&begin, const char *&end) {
  constexpr size_t kTag = sizeof p::kPackageRecordTag;
  for (;;) {
    const char *open = static_cast<const char *>(
        std::memchr(window_ + pos_, '<', used_ - pos_));
    if (!open) {
      if (end_) return false;
      refill(used_);
      continue;
    }
    const size_t at = static_cast<size_t>(open - window_);
    if (used_ - at < kTag && !end_) {  // the tag is cut off
      refill(at);
      continue;
    }
    if (used_ - at < kTag || !isRecordTag(open)) {
      pos_ = at + 1;
      continue;
    }
    const size_t start = at + kTag;
    const char *close = static_cast<const char *>(
        std::memchr(window_ + start, '<', used_ - start));
    if (!close && !end_) {  // the record is cut off
      if (at == 0 && used_ == sizeof window_) {
        // It fills the window: it fits only when the file ends here.
        char more;
        if (file_.read(&more, 1) == 0) {
          end_ = true;
          continue;
        }
        tooLong_ = true;
        return false;
      }
      refill(at);
      continue;
    }
    pos_ = close ? static_cast<size_t>(close - window_) : used_;
    begin = window_ + start;
    end = window_ + pos_;
    return true;
  }
}

const char *skipSpaces(const char *s, const char *end) {
  while (s < end && *s == ' ') ++s;
  return s;
}

const char *tokenEnd(const char *s, const char *end) {
  while (s < end && *s != ' ') ++s;
  return s;
}

// Hexadecimal digits of either case up to the first other character; a
// value too large for 32 bits reads as the largest one.
uint32_t readHexNumber(const char *s, const char *end) {
  uint64_t value = 0;
  for (; s < end; ++s) {
    int digit;
    if (*s >= '0' && *s <= '9')
      digit = *s - '0';
    else if ((*s | 0x20) >= 'a' && (*s | 0x20) <= 'f')
      digit = (*s | 0x20) - 'a' + 10;
    else
      break;
    value = value * 16 + static_cast<uint64_t>(digit);
    if (value > UINT32_MAX) return UINT32_MAX;
  }
  return static_cast<uint32_t>(value);
}

struct Header {
  uint32_t compressedSize = 0;
  uint32_t moduleSize = 0;
  char digestA[kDigestLength + 1] = {};
  char digestB[kDigestLength + 1] = {};
};

// "S<compressed size> <module size> <digest A> <digest B>" after any spaces;
// the compressed size follows the S directly.
bool readDigest(const char *&s, const char *end, char out[kDigestLength + 1]) {
  s = skipSpaces(s, end);
  const char *e = tokenEnd(s, end);
  if (e - s != kDigestLength) return false;
  std::memcpy(out, s, kDigestLength);
  out[kDigestLength] = '\0';
  s = e;
  return true;
}

bool parseHeader(const char *s, const char *end, Header &h) {
  s = skipSpaces(s, end);
  if (s == end || *s != p::kPackageHeaderLetter) return false;
  const char *e = tokenEnd(++s, end);
  h.compressedSize = readHexNumber(s, e);
  s = skipSpaces(e, end);
  if (s == end) return false;
  e = tokenEnd(s, end);
  h.moduleSize = readHexNumber(s, e);
  s = e;
  return readDigest(s, end, h.digestA) && readDigest(s, end, h.digestB);
}

struct Compressed {
  Block block;
  uint32_t size = 0;
  uint32_t filled = 0;
};

// Appends the bytes of one data record; false when they would not fit.
bool appendData(const char *s, const char *end, Compressed &c) {
  uint8_t bytes[p::kPackageWindow / 2 + 1];
  size_t n = 0;
  int high = -1;
  for (; s < end; ++s) {
    const uint8_t digit = kDataDigits.value[static_cast<uint8_t>(*s)];
    if (digit == kNoDigit) continue;
    if (high < 0) {
      high = digit;
    } else {
      bytes[n++] = static_cast<uint8_t>(high << 4 | digit);
      high = -1;
    }
  }
  if (high >= 0) bytes[n++] = static_cast<uint8_t>(high);
  if (n > c.size - c.filled) return false;
  std::memcpy(c.block.data() + c.filled, bytes, n);
  c.filled += static_cast<uint32_t>(n);
  return true;
}

// Reads the header and the data records. False for a package without a
// header, with a malformed one, with a record too long for the window, or
// with more or fewer data bytes than the header announced.
bool readPackage(File &package, Header &h, Compressed &c) {
  RecordReader reader(package);
  const char *begin, *end;
  if (!reader.next(begin, end) || !parseHeader(begin, end, h)) return false;
  // No zlib stream is empty, and digest B needs a second byte. A size over
  // the cap is taken as an allocation that failed.
  if (h.compressedSize == 0 || h.compressedSize > p::kTransferSizeMax ||
      !c.block.allocate(h.compressedSize))
    return false;
  c.size = h.compressedSize;
  while (reader.next(begin, end))
    if (!appendData(begin, end, c)) return false;
  return !reader.tooLong() && c.filled == c.size;
}

bool digestTextMatches(const uint8_t *data, uint32_t size, const char *text) {
  uint8_t digest[16];
  char actual[kDigestLength + 1];
  md5(data, size, 0, digest);
  md5ToText(digest, actual);
  return std::strcmp(actual, text) == 0;
}

bool digestMatches(const uint8_t *data, uint32_t size, const char *text) {
  uint8_t expected[16], actual[16];
  if (!md5FromText(text, expected)) return false;
  md5(data, size, 0, actual);
  return std::memcmp(expected, actual, sizeof actual) == 0;
}

}  // namespace

const char *unpackPackage(const char *packagePath, const char *modulePath,
                          uint32_t expectedSize, const char *expectedDigest1,
                          const char *expectedDigest2) {
  Header h;
  Compressed c;
  {
    File package(packagePath, platform::OpenMode::Read);
    if (!packagePath || !package.open()) return kCannotOpenSource;
    if (!readPackage(package, h, c)) return kMemoryAllocation;
  }
  const uint8_t *data = c.block.data();
  if (!digestTextMatches(data, c.size, h.digestA)) return kMismatchA;
  if (!digestTextMatches(data + 1, c.size - 1, h.digestB)) return kMismatchB;

  Block module;
  if (h.moduleSize > p::kTransferSizeMax || !module.allocate(h.moduleSize))
    return kMemoryAllocation;
  uLongf inflated = h.moduleSize;
  if (uncompress(module.data(), &inflated, data, c.size) != Z_OK)
    return kFailedToUncompress;
  const uint32_t size = static_cast<uint32_t>(inflated);
  if (expectedSize >= 1 && expectedSize != size) return kSizeMismatch;
  if (expectedDigest1 && expectedDigest2) {
    const uint8_t *m = module.data();
    if (!digestMatches(m, size, expectedDigest1) ||
        !digestMatches(m + (size ? 1 : 0), size ? size - 1 : 0,
                       expectedDigest2))
      return kMismatchC;
  }
  switch (replaceFileChecked(modulePath, module.data(), size)) {
    case ReplaceResult::kReplaced:
      return nullptr;
    case ReplaceResult::kWriteFailed:
      return kFileWriteError;
    case ReplaceResult::kCannotCreate:
    default:
      return kCannotOpenTarget;
  }
}

bool readPackageSizes(const char *packagePath, PackageSizes &sizes) {
  File package(packagePath, platform::OpenMode::Read);
  if (!packagePath || !package.open()) return false;
  RecordReader reader(package);
  const char *begin, *end;
  Header h;
  if (!reader.next(begin, end) || !parseHeader(begin, end, h)) return false;
  sizes.compressed = h.compressedSize;
  sizes.module = h.moduleSize;
  return true;
}

}  // namespace qx::update
