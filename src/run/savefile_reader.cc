#include "run/savefile_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace {

// The four magic numbers of a classic savefile, read in this host's order. A file
// from a host of the other order shows them reversed.
constexpr uint32_t MAGIC_MICROSECONDS = 0xa1b2c3d4;
constexpr uint32_t MAGIC_NANOSECONDS = 0xa1b23c4d;
constexpr uint16_t VERSION_MAJOR = 2;
constexpr uint16_t VERSION_MINOR = 4;
// libpcap's largest snapshot length for every link type in the table below. A
// snapshot length of 0 or above it makes libpcap use limits of its own.
constexpr uint32_t MAX_SNAPLEN = 262144;

// LINKTYPE values of the file header that libpcap takes as they are, and the DLT
// value it then reports. Any other field (FCS length bits, reserved bits, types
// libpcap translates in ways not checked here) is refused. In a file of the other
// byte order libpcap rewrites some records of the Linux cooked captures (the CAN
// identifier in CAN frames, into this host's order), so those are refused then.
struct LinkTypeRow {
  uint32_t linktype;
  int dlt;
  bool rewritten_when_swapped;
};
constexpr LinkTypeRow LINK_TYPES[] = {
    {0, DLT_NULL, false},        {1, DLT_EN10MB, false}, {101, DLT_RAW, false},
    {113, DLT_LINUX_SLL, true},  {228, DLT_IPV4, false}, {229, DLT_IPV6, false},
    {276, DLT_LINUX_SLL2, true},
};

}  // namespace

const char* savefile_status_name(SavefileStatus status) {
  switch (status) {
    case SavefileStatus::OK:
      return "ok";
    case SavefileStatus::END:
      return "end";
    case SavefileStatus::OPEN_FAILED:
      return "open failed";
    case SavefileStatus::NOT_REGULAR:
      return "not a regular file";
    case SavefileStatus::SHORT_FILE_HEADER:
      return "short file header";
    case SavefileStatus::UNKNOWN_MAGIC:
      return "unknown magic";
    case SavefileStatus::UNSUPPORTED_VERSION:
      return "unsupported version";
    case SavefileStatus::UNSUPPORTED_SNAPLEN:
      return "unsupported snapshot length";
    case SavefileStatus::UNSUPPORTED_LINK_TYPE:
      return "unsupported link type";
    case SavefileStatus::OVERSIZED_RECORD:
      return "record above the snapshot length";
    case SavefileStatus::TRUNCATED_RECORD:
      return "truncated record";
    case SavefileStatus::READ_ERROR:
      return "read error";
  }
  return "?";
}

SavefileReader::SavefileReader(size_t buffer_bytes) : capacity_(buffer_bytes) {}

SavefileReader::~SavefileReader() {
  if (fd_ >= 0) close(fd_);
#ifdef PORTSIFT_POISON_BUFFER
  if (buffer_) ASAN_UNPOISON_MEMORY_REGION(buffer_.get(), capacity_);
#endif
}

SavefileStatus SavefileReader::open(const char* path) {
  fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    error_number_ = errno;
    return fail(SavefileStatus::OPEN_FAILED);
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    error_number_ = errno;
    return fail(SavefileStatus::OPEN_FAILED);
  }
  // A pipe or a terminal cannot be read again from the start, which a refusal
  // half-way through needs.
  if (!S_ISREG(st.st_mode)) return fail(SavefileStatus::NOT_REGULAR);
  // Large files are read from disk ahead of the reader.
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  return read_file_header();
}

SavefileStatus SavefileReader::open_bytes(const uint8_t* bytes, size_t size) {
  bytes_ = bytes;
  bytes_left_ = size;
  return read_file_header();
}

SavefileStatus SavefileReader::open_stream(ByteStream* stream) {
  stream_ = stream;
  return read_file_header();
}

const uint8_t* SavefileReader::unread_bytes(size_t* size) {
  *size = 0;
  if (failed_ == SavefileStatus::OK || cur_ == nullptr || read_end_ == nullptr) return nullptr;
  *size = static_cast<size_t>(read_end_ - cur_);
#ifdef PORTSIFT_POISON_BUFFER
  ASAN_UNPOISON_MEMORY_REGION(cur_, *size);
#endif
  return cur_;
}

SavefileStatus SavefileReader::read_file_header() {
  uint8_t raw[FILE_HEADER];
  size_t got = 0;
  while (got < FILE_HEADER) {
    const size_t n = read_some(raw + got, FILE_HEADER - got);
    if (failed_ != SavefileStatus::OK) return failed_;
    if (n == 0) return fail(SavefileStatus::SHORT_FILE_HEADER);
    got += n;
  }
  const PacketReader file{raw, FILE_HEADER};
  HeaderView<FILE_HEADER> h;
  file.header(0, &h);
  const uint32_t magic = h.raw32<0>();
  if (magic == MAGIC_MICROSECONDS || magic == MAGIC_NANOSECONDS) {
    format_.swapped = false;
  } else if (magic == __builtin_bswap32(MAGIC_MICROSECONDS) ||
             magic == __builtin_bswap32(MAGIC_NANOSECONDS)) {
    format_.swapped = true;
  } else {
    return fail(SavefileStatus::UNKNOWN_MAGIC);
  }
  const auto field32 = [&](uint32_t v) { return format_.swapped ? __builtin_bswap32(v) : v; };
  format_.nanosecond = field32(magic) == MAGIC_NANOSECONDS;

  uint16_t major, minor;
  std::memcpy(&major, raw + 4, 2);
  std::memcpy(&minor, raw + 6, 2);
  if (format_.swapped) major = __builtin_bswap16(major), minor = __builtin_bswap16(minor);
  if (major != VERSION_MAJOR || minor != VERSION_MINOR)
    return fail(SavefileStatus::UNSUPPORTED_VERSION);
  // Bytes 8 to 15 (time zone and accuracy) are not used by libpcap.
  format_.snaplen = field32(h.raw32<16>());
  if (format_.snaplen == 0 || format_.snaplen > MAX_SNAPLEN)
    return fail(SavefileStatus::UNSUPPORTED_SNAPLEN);
  const uint32_t linktype = field32(h.raw32<20>());
  const LinkTypeRow* row =
      std::find_if(std::begin(LINK_TYPES), std::end(LINK_TYPES),
                   [&](const LinkTypeRow& r) { return r.linktype == linktype; });
  if (row == std::end(LINK_TYPES) || (format_.swapped && row->rewritten_when_swapped))
    return fail(SavefileStatus::UNSUPPORTED_LINK_TYPE);
  format_.link_type = row->dlt;

  // Room for the largest record the snapshot length allows, whatever was asked.
  capacity_ = std::max(capacity_, RECORD_HEADER + format_.snaplen);
  buffer_.reset(new uint8_t[capacity_]);
  cur_ = end_ = buffer_.get();
  consumed_before_ = FILE_HEADER;
#ifdef PORTSIFT_POISON_BUFFER
  ASAN_POISON_MEMORY_REGION(buffer_.get(), capacity_);
#endif
  return SavefileStatus::OK;
}

size_t SavefileReader::read_some(uint8_t* into, size_t max) {
  if (stream_ != nullptr) {
    const ssize_t n = stream_->read(into, max);
    if (n >= 0) return static_cast<size_t>(n);
    error_number_ = EIO;
    fail(SavefileStatus::READ_ERROR);
    return 0;
  }
  if (fd_ < 0) {
    const size_t n = std::min(max, bytes_left_);
    if (n != 0) std::memcpy(into, bytes_, n);
    bytes_ += n;
    bytes_left_ -= n;
    return n;
  }
  for (;;) {
    const ssize_t n = read(fd_, into, max);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    error_number_ = errno;
    fail(SavefileStatus::READ_ERROR);
    return 0;
  }
}

bool SavefileReader::refill() {
  uint8_t* const start = buffer_.get();
#ifdef PORTSIFT_POISON_BUFFER
  ASAN_UNPOISON_MEMORY_REGION(start, capacity_);
#endif
  const size_t left = static_cast<size_t>(end_ - cur_);
  consumed_before_ += static_cast<uint64_t>(cur_ - start);
  std::memmove(start, cur_, left);
  cur_ = start;
  end_ = start + left;
  const size_t got = read_some(start + left, capacity_ - left);
  end_ += got;
#ifdef PORTSIFT_POISON_BUFFER
  ASAN_POISON_MEMORY_REGION(start, capacity_);
  handed_ = nullptr;
#endif
  return got != 0;
}

SavefileStatus SavefileReader::next_after_refill(pcap_pkthdr* header, const uint8_t** data) {
  for (;;) {
    if (failed_ != SavefileStatus::OK) return failed_;
    if (buffer_ == nullptr) return fail(SavefileStatus::OPEN_FAILED);  // never opened
    unpoison_header();
    const PacketReader window{cur_, static_cast<size_t>(end_ - cur_)};
    HeaderView<RECORD_HEADER> record;
    if (window.header(0, &record)) {
      uint32_t caplen = record.raw32<8>();
      if (format_.swapped) caplen = __builtin_bswap32(caplen);
      // libpcap cuts such a record to the snapshot length, or fails on it when it
      // is also above its maximum, with its own message.
      if (caplen > format_.snaplen) return fail(SavefileStatus::OVERSIZED_RECORD);
      if (window.has(RECORD_HEADER, caplen)) return next(header, data);
    }
    if (!refill()) {
      if (failed_ != SavefileStatus::OK) return failed_;
      // libpcap's end of file is a record header of which not one byte was read.
      if (cur_ == end_) return SavefileStatus::END;
      return fail(SavefileStatus::TRUNCATED_RECORD);
    }
  }
}
