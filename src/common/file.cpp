#include "common/file.h"

#include <cstring>

#include "common/md5.h"
#include "common/text.h"

namespace qx {

void File::setPath(const char *path, platform::OpenMode mode) {
  close();
  if (boundedLength(path, kMaxPath + 1) > kMaxPath)
    path_[0] = '\0';
  else
    copyText(path_, path, kMaxPath);
  for (char *p = path_; *p; ++p)
    if (*p == '/') *p = '\\';
  mode_ = mode;
  lines_ = 0;
}

bool File::open() {
  if (!handle_ && path_[0]) handle_ = platform::fileOpen(path_, mode_);
  return handle_ != nullptr;
}

void File::close() {
  if (handle_) platform::fileClose(handle_);
  handle_ = nullptr;
  bufferUsed_ = bufferPos_ = 0;
}

size_t File::read(void *buffer, size_t size) {
  if (!open()) return 0;
  uint8_t *out = static_cast<uint8_t *>(buffer);
  size_t done = 0;
  const size_t buffered = bufferUsed_ - bufferPos_;
  if (buffered) {
    done = buffered < size ? buffered : size;
    std::memcpy(out, buffer_ + bufferPos_, done);
    bufferPos_ += done;
  }
  if (done < size) done += platform::fileRead(handle_, out + done, size - done);
  return done;
}

bool File::write(const void *data, size_t size) {
  if (!open()) return false;
  return platform::fileWrite(handle_, data, size) == size;
}

bool File::writeText(const char *text) {
  return write(text, std::strlen(text));
}

int File::peekByte() {
  if (bufferPos_ == bufferUsed_) {
    bufferPos_ = 0;
    bufferUsed_ = platform::fileRead(handle_, buffer_, sizeof buffer_);
    if (bufferUsed_ == 0) return -1;
  }
  return buffer_[bufferPos_];
}

int File::nextByte() {
  const int c = peekByte();
  if (c >= 0) ++bufferPos_;
  return c;
}

bool File::readLine(char *line, size_t maxChars, bool keepEnd) {
  line[0] = '\0';
  if (!open()) return false;
  size_t n = 0;
  int c = nextByte();
  if (c < 0) return false;
  while (c >= 0) {
    if (c == '\n') {
      if (keepEnd && n < maxChars) line[n++] = '\n';
      break;
    }
    if (n < maxChars) line[n++] = static_cast<char>(c);
    if (n == maxChars) {
      // A line that fills the buffer exactly still owns its line end.
      if (!keepEnd && peekByte() == '\r') nextByte();
      if (!keepEnd && peekByte() == '\n') nextByte();
      break;
    }
    c = nextByte();
  }
  line[n] = '\0';
  if (!keepEnd)
    while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) line[--n] = 0;
  ++lines_;
  return true;
}

bool File::seek(long offset) {
  if (!open()) return false;
  bufferUsed_ = bufferPos_ = 0;
  return platform::fileSeek(handle_, offset);
}

long File::size() { return open() ? platform::fileSize(handle_) : -1; }

bool File::flush() { return handle_ && platform::fileFlush(handle_); }
bool File::commit() { return handle_ && platform::fileCommit(handle_); }

bool File::digest(uint32_t seed, uint8_t out[16]) {
  if (!seek(0)) return false;
  Md5 m;
  md5Init(m, seed);
  uint8_t block[2048];
  size_t got;
  while ((got = platform::fileRead(handle_, block, sizeof block)) > 0)
    md5Update(m, block, got);
  md5Final(m, out);
  return true;
}

}  // namespace qx
