#include "run/set_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "run/capture_filter.h"
#include "run/read_ahead.h"

namespace {

// Magic numbers of the savefiles libpcap reads, as they lie in the file: classic
// with microseconds and nanoseconds, the modified format, in either byte order;
// pcapng's Section Header Block.
constexpr uint32_t CLASSIC_MAGICS[] = {0xa1b2c3d4, 0xa1b23c4d, 0xa1b2cd34};
constexpr uint32_t PCAPNG_MAGIC = 0x0a0d0d0a;
constexpr uint32_t MAGIC_MICROSECONDS = 0xa1b2c3d4;
constexpr uint32_t MAGIC_NANOSECONDS = 0xa1b23c4d;
constexpr size_t FILE_HEADER = 24;
constexpr size_t RECORD_HEADER = 16;

uint32_t host32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The first record's time from the first 40 bytes of a classic savefile, as
// libpcap hands it over (see SavefileReader::next); false for any other file.
bool first_record_time(const std::vector<uint8_t>& head, Timeval* first) {
  if (head.size() < FILE_HEADER + RECORD_HEADER) return false;
  const uint32_t magic = host32(head.data());
  bool swapped;
  if (magic == MAGIC_MICROSECONDS || magic == MAGIC_NANOSECONDS)
    swapped = false;
  else if (magic == __builtin_bswap32(MAGIC_MICROSECONDS) ||
           magic == __builtin_bswap32(MAGIC_NANOSECONDS))
    swapped = true;
  else
    return false;
  const bool nanosecond = (swapped ? __builtin_bswap32(magic) : magic) == MAGIC_NANOSECONDS;
  const uint32_t sec = host32(head.data() + FILE_HEADER);
  const uint32_t sub = host32(head.data() + FILE_HEADER + 4);
  if (!swapped) {
    const int32_t s = static_cast<int32_t>(sec), u = static_cast<int32_t>(sub);
    *first = Timeval{s, nanosecond ? u / 1000 : u};
  } else {
    const uint32_t s = __builtin_bswap32(sec), u = __builtin_bswap32(sub);
    *first = Timeval{static_cast<int64_t>(static_cast<time_t>(s)),
                     static_cast<int64_t>(static_cast<suseconds_t>(nanosecond ? u / 1000 : u))};
  }
  return true;
}

}  // namespace

bool capture_magic(const uint8_t* head, size_t size) {
  if (size < 4) return false;
  const uint32_t magic = host32(head);
  if (magic == PCAPNG_MAGIC) return true;
  for (uint32_t m : CLASSIC_MAGICS)
    if (magic == m || magic == __builtin_bswap32(m)) return true;
  return false;
}

SetSource::~SetSource() {
  if (have_program_) pcap_freecode(&program_);
  // The handle reads the stream: it is closed first.
  if (src_.pcap != nullptr) {
    pcap_close(src_.pcap);
    src_.pcap = nullptr;
  }
}

SetOpen SetSource::open(SetFileInfo* info, bool read_ahead, bool check_magic) {
  int fd = 0;
  if (!info->standard_input) {
    fd = ::open(info->name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error_ = std::strerror(errno);
      return SetOpen::OPEN_FAILED;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      info->size = static_cast<int64_t>(st.st_size);
      posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
  }
  auto raw = std::make_unique<FdStream>(fd, !info->standard_input);
  raw_ = raw.get();
  return open_stream(std::move(raw), info, read_ahead, check_magic);
}

SetOpen SetSource::open_bytes(const uint8_t* bytes, size_t size, size_t chunk, SetFileInfo* info) {
  info->size = static_cast<int64_t>(size);
  return open_stream(std::make_unique<MemoryStream>(bytes, size, chunk), info, false, false);
}

SetOpen SetSource::open_stream(std::unique_ptr<ByteStream> raw, SetFileInfo* info,
                               bool read_ahead, bool check_magic) {
  auto sniffed = std::make_unique<PushbackStream>(std::move(raw));
  const std::vector<uint8_t> magic = sniffed->peek(COMPRESSION_MAGIC_BYTES);
  if (!sniffed->error().empty()) {
    error_ = sniffed->error();
    return SetOpen::OPEN_FAILED;
  }
  info->compression = compression_of(magic.data(), magic.size());
  std::unique_ptr<ByteStream> bytes = decompressing(info->compression, std::move(sniffed));
  // Decompressing is the work worth a core of its own. A plain file's read costs
  // what handing its blocks from one thread to the other would: it is read where
  // the packets are, as the single file run reads it.
  if (read_ahead && info->compression != Compression::NONE)
    bytes = std::make_unique<ReadAhead>(std::move(bytes));
  top_ = std::make_unique<PushbackStream>(std::move(bytes));

  // The file header and the first record's header, left to be read.
  const std::vector<uint8_t>& head = top_->peek(FILE_HEADER + RECORD_HEADER);
  if (check_magic && !capture_magic(head.data(), head.size())) {
    if (head.size() < 4 && !top_->error().empty()) {
      error_ = top_->error();
      return SetOpen::OPEN_FAILED;
    }
    return SetOpen::NOT_CAPTURE;
  }
  info->first_known = first_record_time(head, &info->first);
  if (head.size() >= FILE_HEADER) file_header_.assign(head.begin(), head.begin() + FILE_HEADER);

  FILE* file = open_stream_file(top_.get());
  if (file == nullptr) {
    error_ = std::strerror(errno);
    return SetOpen::OPEN_FAILED;
  }
  char errbuf[PCAP_ERRBUF_SIZE];
  errbuf[0] = '\0';
  src_.pcap = pcap_fopen_offline(file, errbuf);
  if (src_.pcap == nullptr) {
    std::fclose(file);
    // A decompressor's reason is the better one than libpcap's short read.
    error_ = !top_->error().empty() ? top_->error() : errbuf;
    return SetOpen::REFUSED;
  }
  src_.offline = true;
  info->dlt = pcap_datalink(src_.pcap);
  info->snaplen = pcap_snapshot(src_.pcap);
  return SetOpen::OK;
}

int SetSource::prepare(Run& run, const char* interface, bool trace) {
  const Settings& s = run.settings;
  src_.link = link_of(src_.pcap, s);
  const std::string expression = capture_filter_text(s, src_.link.dlt);
  if (compile_filter(src_.pcap, interface, expression, run.output.out, run.output.err,
                     trace ? s.debug : 0, &program_) != 0)
    return 1;
  have_program_ = true;
  return link_usable(run, src_.link) ? 0 : 1;
}

void SetSource::start(const Settings& s, bool fast) {
  fast_ = false;
  if (!fast || file_header_.size() != FILE_HEADER) return;
  // libpcap has read the file header; the reader reads it again, and then the
  // records, from the same stream.
  top_->unread(file_header_.data(), file_header_.size());
  if (reader_.open_stream(top_.get()) != SavefileStatus::OK) return;
  const SavefileFormat& f = reader_.format();
  if (f.link_type != pcap_datalink(src_.pcap) || f.swapped != (pcap_is_swapped(src_.pcap) == 1) ||
      f.snaplen != static_cast<uint32_t>(pcap_snapshot(src_.pcap)))
    return;
  filter_ = FileFilter::make(src_.pcap, watched_ports(s), s.wide_filter());
  fast_ = filter_.has_value();
}

bool SetSource::next() {
  if (fast_) {
    const SavefileStatus status = reader_.next(&header_, &data_);
    if (status == SavefileStatus::OK) {
      matches_ = filter_->matches(header_, data_);
      return true;
    }
    if (status == SavefileStatus::END) return false;
    // A record the reader would not take exactly as libpcap does: libpcap reads
    // on from it, given back the bytes the reader had read ahead.
    size_t n = 0;
    const uint8_t* rest = reader_.unread_bytes(&n);
    if (n != 0) top_->unread(rest, n);
    fast_ = false;
  }
  return next_by_libpcap();
}

bool SetSource::next_by_libpcap() {
  pcap_pkthdr* h;
  const u_char* d;
  const int rc = pcap_next_ex(src_.pcap, &h, &d);
  if (rc == 1) {
    header_ = *h;
    data_ = d;
    matches_ = pcap_offline_filter(&program_, h, d) != 0;
    return true;
  }
  if (rc == PCAP_ERROR) read_error_ = !top_->error().empty() ? top_->error() : pcap_geterr(src_.pcap);
  return false;
}
