// One file of a capture set: opened and decompressed by its first bytes, checked,
// and read record by record in its own order, by the fast reader where the run
// allows and libpcap otherwise, both from the same decompressed stream. Each file
// keeps its own link type, snapshot length and compiled capture filter.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/time.h"
#include "run/byte_stream.h"
#include "run/decompress.h"
#include "run/file_filter.h"
#include "run/savefile_reader.h"
#include "run/source.h"

// What the opening of a file found out, kept while the file waits its turn.
struct SetFileInfo {
  std::string name;
  bool standard_input = false;
  int64_t size = 0;  // bytes on disk (the progress line); 0: not known
  Compression compression = Compression::NONE;
  // The first record's time, as libpcap hands it over: the file's place in the
  // merge until it is opened to be read. Unknown (a pcapng file, a file without a
  // whole first record header): the file is read from the start of the run.
  bool first_known = false;
  Timeval first;
  int dlt = -1;      // pcap_datalink(), once libpcap opened it
  int snaplen = 0;  // pcap_snapshot()
};

enum class SetOpen : uint8_t {
  OK,
  OPEN_FAILED,  // the file cannot be opened or read: error() has the system's reason
  NOT_CAPTURE,  // its first bytes (decompressed) are no savefile's
  REFUSED,      // libpcap refused it: error() has libpcap's message
};

class SetSource {
 public:
  SetSource() = default;
  ~SetSource();
  SetSource(const SetSource&) = delete;
  SetSource& operator=(const SetSource&) = delete;

  // Opens the file (descriptor 0 for standard input) and its decompressor; with
  // `read_ahead`, a compressed file is read and decompressed on a thread of its
  // own. With
  // `check_magic`, first bytes that no savefile begins with are NOT_CAPTURE before
  // libpcap is asked. Fills in what the opening finds out.
  SetOpen open(SetFileInfo* info, bool read_ahead, bool check_magic);
  // Opens a savefile held in memory the same way (tests and the fuzz target).
  SetOpen open_bytes(const uint8_t* bytes, size_t size, size_t chunk, SetFileInfo* info);

  const std::string& error() const { return error_; }
  // The libpcap handle and the file's framing; prepare() fills in the link.
  Source& source() { return src_; }

  // Compiles the run's capture filter for this file (the trace with -d only when
  // `trace`) and checks its link type: 0, or 1 after printing why it cannot be read.
  int prepare(Run& run, const char* interface, bool trace);

  // Reads with the fast reader from here on where `fast` (the run is one that
  // fast_read_wanted() allows) and the reader takes the file.
  void start(const Settings& s, bool fast);

  // The next record, filtered or not: true with header(), data() and matches() set
  // (valid until the next call); false at the end of the file or on an error
  // (read_error() then says which).
  bool next();
  const pcap_pkthdr& header() const { return header_; }
  const uint8_t* data() const { return data_; }
  bool matches() const { return matches_; }
  const std::string& read_error() const { return read_error_; }

  // Bytes of the file on disk read so far.
  uint64_t bytes_read() const { return raw_ != nullptr ? raw_->bytes_read() : 0; }

 private:
  SetOpen open_stream(std::unique_ptr<ByteStream> raw, SetFileInfo* info, bool read_ahead,
                      bool check_magic);
  bool next_by_libpcap();

  std::string error_;
  std::string read_error_;
  FdStream* raw_ = nullptr;
  std::unique_ptr<PushbackStream> top_;  // the decompressed bytes
  std::vector<uint8_t> file_header_;     // the 24 bytes of a classic header
  Source src_;
  struct bpf_program program_ {};
  bool have_program_ = false;
  SavefileReader reader_;
  std::optional<FileFilter> filter_;
  bool fast_ = false;
  pcap_pkthdr header_{};
  const uint8_t* data_ = nullptr;
  bool matches_ = false;
};

// Whether `head` (at least 4 bytes of it) begins a classic savefile or a pcapng
// one, as libpcap tells them.
bool capture_magic(const uint8_t* head, size_t size);
