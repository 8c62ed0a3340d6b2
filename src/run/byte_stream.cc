#include "run/byte_stream.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// How long a read of a pipe waits before it looks at its cancel flag again.
constexpr int PIPE_POLL_MS = 100;

ssize_t read_cookie(void* cookie, char* into, size_t max) {
  ssize_t n = static_cast<ByteStream*>(cookie)->read(reinterpret_cast<uint8_t*>(into), max);
  if (n < 0) errno = EIO;
  return n;
}

// The FILE is closed by libpcap; the stream belongs to whoever opened it.
int close_cookie(void*) { return 0; }

}  // namespace

FdStream::FdStream(int fd, bool owned) : fd_(fd), owned_(owned) {
  struct stat st;
  regular_ = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

FdStream::~FdStream() {
  if (owned_ && fd_ >= 0) close(fd_);
}

ssize_t FdStream::read(uint8_t* into, size_t max) {
  if (!error().empty()) return -1;
  for (;;) {
    if (!regular_ && cancel_ != nullptr) {
      if (cancel_->load(std::memory_order_relaxed)) return fail("cancelled");
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, PIPE_POLL_MS) == 0) continue;
    }
    const ssize_t n = ::read(fd_, into, max);
    if (n >= 0) {
      bytes_read_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
      return n;
    }
    if (errno == EINTR) continue;
    return fail(std::strerror(errno));
  }
}

ssize_t MemoryStream::read(uint8_t* into, size_t max) {
  const size_t n = std::min({max, left_, chunk_});
  if (n != 0) std::memcpy(into, bytes_, n);
  bytes_ += n;
  left_ -= n;
  return static_cast<ssize_t>(n);
}

ssize_t PushbackStream::read(uint8_t* into, size_t max) {
  if (front_at_ < front_.size()) {
    const size_t n = std::min(max, front_.size() - front_at_);
    std::memcpy(into, front_.data() + front_at_, n);
    front_at_ += n;
    if (front_at_ == front_.size()) front_.clear(), front_at_ = 0;
    return static_cast<ssize_t>(n);
  }
  return inner_->read(into, max);
}

const std::vector<uint8_t>& PushbackStream::peek(size_t n) {
  // What is already in front, then more from the stream until n or its end.
  std::vector<uint8_t> ahead(front_.begin() + static_cast<ptrdiff_t>(front_at_), front_.end());
  while (ahead.size() < n) {
    const size_t have = ahead.size();
    ahead.resize(n);
    const ssize_t got = inner_->read(ahead.data() + have, n - have);
    ahead.resize(have + static_cast<size_t>(std::max<ssize_t>(got, 0)));
    if (got <= 0) break;
  }
  front_ = ahead;
  front_at_ = 0;
  peeked_.assign(ahead.begin(), ahead.begin() + static_cast<ptrdiff_t>(std::min(n, ahead.size())));
  return peeked_;
}

void PushbackStream::unread(const uint8_t* bytes, size_t n) {
  std::vector<uint8_t> joined(bytes, bytes + n);
  joined.insert(joined.end(), front_.begin() + static_cast<ptrdiff_t>(front_at_), front_.end());
  front_ = std::move(joined);
  front_at_ = 0;
}

FILE* open_stream_file(ByteStream* stream) {
  cookie_io_functions_t io{};
  io.read = read_cookie;
  io.close = close_cookie;
  FILE* file = fopencookie(stream, "rb", io);
  if (file == nullptr) return nullptr;
  // Unbuffered: stdio reads nothing ahead of what libpcap asks for.
  setvbuf(file, nullptr, _IONBF, 0);
  return file;
}
