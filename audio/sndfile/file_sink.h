// The bytes of one file being written, as its encoder sees them: a stream it can seek in and
// overwrite, always accepting, with the disk behind it allowed to refuse. Bytes the system refuses
// (a full disk, a quota, an IO error) stay in memory and go out at a later flush, so that an
// encoder never sees a failed write and space that comes back loses nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pt {

class FileSink {
 public:
  // Creates or truncates `path`; `error` is errno when it cannot. `holdBytes` is how much the sink
  // keeps for the disk before the writer must refuse audio (see fits), and `slackBytes` what an
  // encoder may add beyond the audio it was given; both are reserved here, so that holding
  // allocates nothing.
  static std::unique_ptr<FileSink> create(const std::string& path, std::size_t holdBytes,
                                          std::size_t slackBytes, int& error);
  ~FileSink();
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  // The stream: positions and lengths count every byte written, held or not.
  std::int64_t length() const noexcept { return length_; }
  std::int64_t tell() const noexcept { return position_; }
  std::int64_t seek(std::int64_t offset, int whence) noexcept;
  // Always takes all of `bytes` at the position (short only if memory runs out).
  std::int64_t write(const void* data, std::int64_t bytes) noexcept;
  std::int64_t read(void* data, std::int64_t bytes) noexcept;

  // Sends what the disk lacks: header changes first, so that a header never states less than the
  // file holds, then the held bytes in order. True when nothing is held after it.
  bool flush() noexcept;
  std::size_t held() const noexcept { return tail_.size() - tailStart_; }
  // Whether `bytes` more (and the slack) can still be held.
  bool fits(std::size_t bytes) const noexcept { return held() + bytes <= holdBytes_; }
  // The system's reason for the last refusal.
  const char* reason() const noexcept { return reason_; }

  // The end of each append is a point where the stream may be cut and still decode; `count` is
  // what the stream holds up to there (samples, say). The last such point on the disk:
  void markBoundary(std::int64_t count) noexcept;
  struct Boundary {
    std::int64_t offset = 0, count = 0;
  };
  Boundary lastBoundaryOnDisk() const noexcept { return boundaryOnDisk_; }
  // Drops what is held past `offset` and cuts the file there: what a final flush could not write.
  void cut(std::int64_t offset) noexcept;
  std::int64_t onDisk() const noexcept { return onDisk_; }

 private:
  FileSink(int fd, std::size_t holdBytes) noexcept : fd_(fd), holdBytes_(holdBytes) {}
  bool writeAt(const unsigned char* data, std::size_t bytes, std::int64_t offset) noexcept;
  void refused(int error) noexcept;
  void advanceBoundaries() noexcept;

  int fd_;
  std::size_t holdBytes_;
  std::int64_t length_ = 0, position_ = 0;
  std::int64_t onDisk_ = 0;          // the stream's bytes before this are on the disk
  std::vector<unsigned char> tail_;  // the stream from onDisk_ on, from tailStart_ on
  std::size_t tailStart_ = 0;
  std::vector<unsigned char> head_;
  std::int64_t dirtyFrom_ = 0, dirtyTo_ = 0;  // head bytes changed below onDisk_
  std::vector<Boundary> boundaries_;          // past onDisk_, in order
  std::size_t boundaryStart_ = 0;
  Boundary boundaryOnDisk_;
  char reason_[128] = "";
};

}  // namespace pt
