#include "run/file_identity.h"

#include <sys/stat.h>

#include "common/settings.h"

namespace {

bool same(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  struct stat x, y;
  return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && same(x, y);
}

bool same_file(int fd, FILE* file) {
  struct stat x, y;
  return file != nullptr && fstat(fd, &x) == 0 && fstat(fileno(file), &y) == 0 && same(x, y);
}

bool is_device(const std::string& name) {
  struct stat st;
  return name != STANDARD_OUTPUT_NAME && stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}
