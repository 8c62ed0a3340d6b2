// read_file: what reading a capture file costs and nothing more. It reads the whole
// file with large read() calls into one buffer and touches nothing; the benchmark
// sets portsift's time against it, the speed any reader of the file is bounded by.
//
//   read_file FILE
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Large enough that the system calls cost little, small enough to stay in the
// second-level cache while the next read fills it.
constexpr size_t BUFFER = 512 * 1024;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: read_file FILE\n", stderr);
    return 2;
  }
  const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "read_file: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> buffer(new char[BUFFER]);
  for (;;) {
    const ssize_t n = read(fd, buffer.get(), BUFFER);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "read_file: %s: %s\n", argv[1], std::strerror(errno));
      return 1;
    }
  }
  close(fd);
  return 0;
}
