// The client's file object: a path, a mode, a line counter and a handle that
// is opened on first use. Every file the client reads or writes goes through
// it, so reads are bounded and lines never overrun their buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace qx {

class File {
 public:
  static constexpr size_t kMaxPath = 255;

  File() = default;
  File(const char *path, platform::OpenMode mode) { setPath(path, mode); }
  ~File() { close(); }
  File(const File &) = delete;
  File &operator=(const File &) = delete;

  // Sets the path ('/' turned into '\') and the mode for the next open;
  // closes a file that is open. A path longer than 255 characters is refused
  // whole: cut short it would name another file, so the file never opens.
  void setPath(const char *path, platform::OpenMode mode);
  const char *path() const { return path_; }

  bool open();  // opens on first use; true when open
  bool isOpen() const { return handle_ != nullptr; }
  void close();

  size_t read(void *buffer, size_t size);
  bool write(const void *data, size_t size);
  bool writeText(const char *text);
  // Reads one line of at most maxChars characters into line (maxChars + 1
  // bytes). A longer line is returned in pieces. With keepEnd the CR LF stays
  // on the line. Returns false at the end of the file.
  bool readLine(char *line, size_t maxChars, bool keepEnd = false);
  bool seek(long offset);
  long size();
  bool flush();   // buffered data to the system
  bool commit();  // and on to the disk, waiting for it
  uint32_t lineCount() const { return lines_; }

  // MD5 of the whole file in 2048-byte blocks; false when it cannot be read.
  bool digest(uint32_t seed, uint8_t out[16]);

 private:
  int peekByte();  // -1 at the end
  int nextByte();  // -1 at the end

  char path_[kMaxPath + 1] = {};
  platform::OpenMode mode_ = platform::OpenMode::Read;
  platform::FileHandle handle_ = nullptr;
  uint32_t lines_ = 0;
  uint8_t buffer_[512] = {};
  size_t bufferUsed_ = 0;
  size_t bufferPos_ = 0;
};

}  // namespace qx
