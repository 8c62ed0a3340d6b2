// Savefile reader: the records of a classic pcap file exactly as libpcap delivers
// them, read in large blocks; anything it cannot reproduce exactly is refused.
#pragma once

#include <pcap/pcap.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "run/byte_stream.h"
#include "track/packet_reader.h"

// Under AddressSanitizer every byte of the buffer but the captured bytes of the
// record just handed over is poisoned (the records before it, the headers, what
// follows it, the space past what was read), so a read past a record stops the
// tests and the fuzzers.
#if defined(__SANITIZE_ADDRESS__)
#define PORTSIFT_POISON_BUFFER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PORTSIFT_POISON_BUFFER 1
#endif
#endif
#ifdef PORTSIFT_POISON_BUFFER
#include <sanitizer/asan_interface.h>
#endif

enum class SavefileStatus : uint8_t {
  OK,   // open(): a file the reader handles; next(): a record was produced
  END,  // the file ended where a record would begin: libpcap's end of file

  // Refusals. Each is a file (or a stretch of one) that libpcap treats in a way the
  // reader does not reproduce, or an outcome it would word itself: the run must be
  // made again by libpcap from the start. Once refused, a reader stays refused.
  OPEN_FAILED,            // the file cannot be opened or examined (see error_number())
  NOT_REGULAR,            // a pipe, a device, a directory: not read here
  SHORT_FILE_HEADER,      // fewer than the 24 bytes of a classic header
  UNKNOWN_MAGIC,          // pcapng, the modified format of 0xa1b2cd34, anything else
  UNSUPPORTED_VERSION,    // not 2.4: older versions may hold the lengths swapped
  UNSUPPORTED_SNAPLEN,    // 0 or above 262144: libpcap substitutes its own limits
  UNSUPPORTED_LINK_TYPE,  // a link type field outside the table in the .cc, or one
                          // whose records libpcap rewrites in a file of this order
  OVERSIZED_RECORD,       // a captured length above the snapshot length
  TRUNCATED_RECORD,       // the file ends inside a record's header or data
  READ_ERROR,             // read() failed (see error_number())
};

// A name for each status, for traces and test messages.
const char* savefile_status_name(SavefileStatus status);

// What libpcap reports about the file once it is open.
struct SavefileFormat {
  int link_type = 0;        // pcap_datalink(): the file's LINKTYPE as a DLT value
  bool swapped = false;     // pcap_is_swapped(): written on a host of the other order
  bool nanosecond = false;  // stamps in the file are in ns (delivered in µs, as libpcap does)
  uint32_t snaplen = 0;     // pcap_snapshot()
};

// Reads a savefile from the start, record by record, with the header fields
// (timestamp, captured and wire lengths) and the captured bytes that pcap_next_ex()
// and pcap_loop() would hand over for the same record. It reads with large read()
// calls into one buffer that stays in the cache, until read() reports the end, as
// libpcap's stdio reads do. It does not map the file: mapping a 3 GB capture cost
// seven times what copying it did on the benchmark machine (every page's table
// entry set up under virtualisation), and a file shortened while mapped would kill
// the process.
class SavefileReader {
 public:
  static constexpr size_t DEFAULT_BUFFER = 512 * 1024;

  // `buffer_bytes` is grown to hold one record of the snapshot length at least.
  explicit SavefileReader(size_t buffer_bytes = DEFAULT_BUFFER);
  ~SavefileReader();
  SavefileReader(const SavefileReader&) = delete;
  SavefileReader& operator=(const SavefileReader&) = delete;

  // Opens a regular file and checks its header: OK, or the refusal.
  SavefileStatus open(const char* path);
  // The same for a savefile held in memory, read in blocks of the buffer's size like
  // a file (the tests and the fuzzer); the bytes must outlive the reader.
  SavefileStatus open_bytes(const uint8_t* bytes, size_t size);

  // The same for a savefile read from a stream (a decompressed file, standard
  // input, a file of a capture set), which must outlive the reader. A stream cannot
  // be read again from the start: after a refusal, the bytes read from it but not
  // handed over are given by unread_bytes(), so that libpcap can read on from the
  // record refused.
  SavefileStatus open_stream(ByteStream* stream);
  // After a refusal of a stream's record: the bytes from that record to what was
  // read of the stream, at *size.
  const uint8_t* unread_bytes(size_t* size);

  const SavefileFormat& format() const { return format_; }

  // The next record: OK with *header and *data set (the data stay valid until the
  // next call), END after the last whole record, or a refusal.
  SavefileStatus next(pcap_pkthdr* header, const uint8_t** data);

  // Bytes of the file consumed: the file header and the records handed over.
  uint64_t offset() const { return consumed_before_ + static_cast<uint64_t>(cur_ - buffer_.get()); }
  // errno of OPEN_FAILED and READ_ERROR.
  int error_number() const { return error_number_; }
  // open(): the file's descriptor, so that a caller can tell it is the file libpcap
  // has open; -1 otherwise.
  int file_descriptor() const { return fd_; }

 private:
  static constexpr size_t FILE_HEADER = 24;
  static constexpr size_t RECORD_HEADER = 16;

  SavefileStatus read_file_header();
  // The slow path of next(): the record in front does not lie whole in the buffer.
  SavefileStatus next_after_refill(pcap_pkthdr* header, const uint8_t** data);
  // Moves the unread bytes to the front of the buffer and reads more behind them:
  // false at the end of the file (or on an error, which sets failed_).
  bool refill();
  size_t read_some(uint8_t* into, size_t max);
  // Under AddressSanitizer: the record handed over last becomes unreadable and the
  // next record header readable, then only the captured bytes of the record handed
  // over. Each touches the shadow of one record, not of the whole buffer.
  void unpoison_header();
  void hand_over(const uint8_t* record, size_t caplen);
  // A refusal is final: the buffer is emptied, so that next() always takes the slow
  // path, where the refusal is returned again.
  SavefileStatus fail(SavefileStatus status) {
    if (failed_ == SavefileStatus::OK) read_end_ = end_;
    end_ = cur_;
    return failed_ = status;
  }

  size_t capacity_;
  std::unique_ptr<uint8_t[]> buffer_;
  const uint8_t* cur_ = nullptr;  // the next record's header
  const uint8_t* end_ = nullptr;  // the end of the bytes read
  const uint8_t* read_end_ = nullptr;  // after a refusal: where end_ was
  uint64_t consumed_before_ = 0;  // file offset of the buffer's first byte

  int fd_ = -1;
  const uint8_t* bytes_ = nullptr;  // open_bytes(): the savefile and what is left of it
  size_t bytes_left_ = 0;
  ByteStream* stream_ = nullptr;  // open_stream()

  SavefileFormat format_;
  SavefileStatus failed_ = SavefileStatus::OK;  // a refusal, once one happened
  int error_number_ = 0;
#ifdef PORTSIFT_POISON_BUFFER
  const uint8_t* handed_ = nullptr;  // the captured bytes last handed over
  size_t handed_len_ = 0;
#endif
};

inline SavefileStatus SavefileReader::next(pcap_pkthdr* header, const uint8_t** data) {
  unpoison_header();
  const PacketReader window{cur_, static_cast<size_t>(end_ - cur_)};
  HeaderView<RECORD_HEADER> record;
  if (!window.header(0, &record)) return next_after_refill(header, data);
  uint32_t caplen = record.raw32<8>();
  if (format_.swapped) caplen = __builtin_bswap32(caplen);
  if (caplen > format_.snaplen || !window.has(RECORD_HEADER, caplen))
    return next_after_refill(header, data);
  // libpcap reads the time fields of a file in this host's order as signed 32-bit
  // numbers, and those it has to swap as unsigned ones: the same bytes give -1 in
  // one order and 4294967295 in the other. Nanoseconds become microseconds by a
  // division (signed or not, as the field) that truncates; nothing is normalised.
  if (!format_.swapped) {
    const int32_t sec = static_cast<int32_t>(record.raw32<0>());
    const int32_t sub = static_cast<int32_t>(record.raw32<4>());
    header->ts.tv_sec = static_cast<time_t>(sec);
    header->ts.tv_usec = static_cast<suseconds_t>(format_.nanosecond ? sub / 1000 : sub);
    header->len = record.raw32<12>();
  } else {
    const uint32_t sec = __builtin_bswap32(record.raw32<0>());
    const uint32_t sub = __builtin_bswap32(record.raw32<4>());
    header->ts.tv_sec = static_cast<time_t>(sec);
    header->ts.tv_usec = static_cast<suseconds_t>(format_.nanosecond ? sub / 1000 : sub);
    header->len = __builtin_bswap32(record.raw32<12>());
  }
  header->caplen = caplen;
  *data = cur_ + RECORD_HEADER;
  cur_ += RECORD_HEADER + caplen;
  hand_over(*data, caplen);
  return SavefileStatus::OK;
}

inline void SavefileReader::unpoison_header() {
#ifdef PORTSIFT_POISON_BUFFER
  if (handed_ != nullptr) ASAN_POISON_MEMORY_REGION(handed_, handed_len_);
  handed_ = nullptr;
  if (cur_ != nullptr)
    ASAN_UNPOISON_MEMORY_REGION(cur_, std::min(RECORD_HEADER, static_cast<size_t>(end_ - cur_)));
#endif
}

inline void SavefileReader::hand_over(const uint8_t* record, size_t caplen) {
#ifdef PORTSIFT_POISON_BUFFER
  ASAN_POISON_MEMORY_REGION(record - RECORD_HEADER, RECORD_HEADER);
  ASAN_UNPOISON_MEMORY_REGION(record, caplen);
  handed_ = record;
  handed_len_ = caplen;
#else
  (void)record;
  (void)caplen;
#endif
}
