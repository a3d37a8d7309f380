#include "audio/sndfile/file_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pt {
namespace {

// Every header the containers write fits: CAF's is the largest, 4 KiB.
constexpr std::size_t kHeadBytes = 16384;
// Cut points kept while bytes are held; past that the last ones are not recorded, so a final cut
// may fall further back.
constexpr std::size_t kBoundaries = 4096;

}  // namespace

std::unique_ptr<FileSink> FileSink::create(const std::string& path, std::size_t holdBytes,
                                           std::size_t slackBytes, int& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  std::unique_ptr<FileSink> sink(new FileSink(fd, holdBytes));
  try {
    sink->tail_.reserve(holdBytes + slackBytes);
    sink->head_.assign(kHeadBytes, 0);
    sink->boundaries_.reserve(kBoundaries);
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
    ::unlink(path.c_str());
    return nullptr;
  }
  return sink;
}

FileSink::~FileSink() { ::close(fd_); }

std::int64_t FileSink::seek(std::int64_t offset, int whence) noexcept {
  const std::int64_t base = whence == SEEK_CUR ? position_ : whence == SEEK_END ? length_ : 0;
  if (base + offset < 0) return -1;
  return position_ = base + offset;
}

std::int64_t FileSink::write(const void* data, std::int64_t bytes) noexcept {
  if (bytes <= 0) return 0;
  const auto* p = static_cast<const unsigned char*>(data);
  std::int64_t at = position_, n = bytes;
  if (at < std::int64_t(head_.size())) {
    const std::int64_t m = std::min<std::int64_t>(n, std::int64_t(head_.size()) - at);
    // Below onDisk_ only what changed goes out again: a header rewritten each write costs the
    // few bytes that count.
    std::int64_t from = 0, to = std::clamp<std::int64_t>(onDisk_ - at, 0, m);
    while (from < to && head_[std::size_t(at + from)] == p[from]) ++from;
    while (to > from && head_[std::size_t(at + to - 1)] == p[to - 1]) --to;
    if (from < to) {
      dirtyFrom_ = dirtyTo_ > dirtyFrom_ ? std::min(dirtyFrom_, at + from) : at + from;
      dirtyTo_ = std::max(dirtyTo_, at + to);
    }
    std::memcpy(head_.data() + at, p, std::size_t(m));
  }
  if (at < onDisk_) {
    const std::int64_t m = std::min(n, onDisk_ - at);
    const std::int64_t from = std::max<std::int64_t>(at, std::int64_t(head_.size()));
    // Past the head nothing is rewritten in place; should it be, the disk takes it or it is lost.
    if (from < at + m) writeAt(p + (from - at), std::size_t(at + m - from), from);
    p += m, at += m, n -= m;
  }
  if (n > 0) {
    std::size_t offset = tailStart_ + std::size_t(at - onDisk_);
    if (offset + std::size_t(n) > tail_.capacity() && tailStart_ > 0) {
      tail_.erase(tail_.begin(), tail_.begin() + std::ptrdiff_t(tailStart_));
      offset -= tailStart_;
      tailStart_ = 0;
    }
    try {
      if (offset + std::size_t(n) > tail_.size()) tail_.resize(offset + std::size_t(n));
    } catch (const std::bad_alloc&) {
      return bytes - n;
    }
    std::memcpy(tail_.data() + offset, p, std::size_t(n));
  }
  position_ += bytes;
  length_ = std::max(length_, position_);
  return bytes;
}

std::int64_t FileSink::read(void* data, std::int64_t bytes) noexcept {
  auto* p = static_cast<unsigned char*>(data);
  const std::int64_t n = std::clamp<std::int64_t>(length_ - position_, 0, bytes);
  for (std::int64_t done = 0; done < n;) {
    const std::int64_t at = position_ + done;
    std::int64_t m = n - done;
    if (at < std::int64_t(head_.size())) {
      m = std::min<std::int64_t>(m, std::int64_t(head_.size()) - at);
      std::memcpy(p + done, head_.data() + at, std::size_t(m));
    } else if (at >= onDisk_) {
      std::memcpy(p + done, tail_.data() + tailStart_ + (at - onDisk_), std::size_t(m));
    } else {
      m = std::min(m, onDisk_ - at);
      const ssize_t got = ::pread(fd_, p + done, std::size_t(m), at);
      if (got <= 0) return done;
      m = got;
    }
    done += m;
  }
  position_ += n;
  return n;
}

bool FileSink::flush() noexcept {
  bool written = true;
  if (dirtyTo_ > dirtyFrom_) {
    const std::int64_t to = std::min(dirtyTo_, onDisk_);
    if (to <= dirtyFrom_ ||
        writeAt(head_.data() + dirtyFrom_, std::size_t(to - dirtyFrom_), dirtyFrom_))
      dirtyFrom_ = dirtyTo_ = 0;  // what lay above onDisk_ goes out with the held bytes
    else
      written = false;
  }
  while (held() > 0) {
    const ssize_t n = ::pwrite(fd_, tail_.data() + tailStart_, held(), onDisk_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      refused(n < 0 ? errno : ENOSPC);
      written = false;
      break;
    }
    tailStart_ += std::size_t(n);
    onDisk_ += n;
  }
  if (held() == 0) tail_.clear(), tailStart_ = 0;
  advanceBoundaries();
  return written;
}

void FileSink::markBoundary(std::int64_t count) noexcept {
  if (position_ <= onDisk_) {
    boundaryOnDisk_ = {position_, count};
  } else if (boundaries_.size() < boundaries_.capacity()) {
    boundaries_.push_back({position_, count});
  }
}

void FileSink::cut(std::int64_t offset) noexcept {
  offset = std::clamp<std::int64_t>(offset, 0, onDisk_);
  tail_.clear(), tailStart_ = 0;
  boundaries_.clear(), boundaryStart_ = 0;
  dirtyFrom_ = std::min(dirtyFrom_, offset), dirtyTo_ = std::min(dirtyTo_, offset);
  if (::ftruncate(fd_, offset) != 0) refused(errno);
  onDisk_ = length_ = offset;
  position_ = std::min(position_, offset);
  if (boundaryOnDisk_.offset > offset) boundaryOnDisk_ = {};
}

bool FileSink::writeAt(const unsigned char* data, std::size_t bytes, std::int64_t offset) noexcept {
  while (bytes > 0) {
    const ssize_t n = ::pwrite(fd_, data, bytes, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      refused(n < 0 ? errno : ENOSPC);
      return false;
    }
    data += n, bytes -= std::size_t(n), offset += n;
  }
  return true;
}

void FileSink::refused(int error) noexcept {
  std::snprintf(reason_, sizeof reason_, "%s", std::strerror(error));
}

void FileSink::advanceBoundaries() noexcept {
  while (boundaryStart_ < boundaries_.size() && boundaries_[boundaryStart_].offset <= onDisk_)
    boundaryOnDisk_ = boundaries_[boundaryStart_++];
  if (boundaryStart_ == boundaries_.size()) boundaries_.clear(), boundaryStart_ = 0;
}

}  // namespace pt
