#include "run/capture_set.h"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "run/decompress.h"

namespace {

std::string system_error(const Settings& s, const std::string& name, int err) {
  static constexpr char SYSTEM_ERROR_FMT[] = "%s: %s: %s\n";
  char line[4096];
  std::snprintf(line, sizeof line, SYSTEM_ERROR_FMT, s.program_name.c_str(), name.c_str(),
                std::strerror(err));
  return line;
}

bool is_regular(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Every entry of the directory but "." and "..", and but its subdirectories, in
// byte order of their names (rotated sets name their files so that this is their
// time order). An entry that cannot be examined (a dangling link) is kept: opening
// it names the problem.
bool directory_names(const Settings& s, const std::string& dir, std::vector<std::string>* names,
                     std::string* error) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    *error = system_error(s, dir, errno);
    return false;
  }
  std::vector<std::string> found;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir.back() == '/' ? dir + name : dir + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    found.push_back(name);
  }
  closedir(d);
  std::sort(found.begin(), found.end());
  for (const std::string& name : found)
    names->push_back(dir.back() == '/' ? dir + name : dir + "/" + name);
  return true;
}

// The files a pattern matches, in byte order; directories it matches are not files
// of the set.
bool pattern_names(const Settings& s, const std::string& pattern, std::vector<std::string>* names,
                   std::string* error) {
  glob_t g;
  const int rc = glob(pattern.c_str(), 0, nullptr, &g);
  if (rc == 0) {
    for (size_t i = 0; i < g.gl_pathc; ++i) {
      struct stat st;
      const std::string path = g.gl_pathv[i];
      if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      names->push_back(path);
    }
  }
  globfree(&g);
  std::sort(names->begin(), names->end());
  if (names->empty()) {
    static constexpr char NO_MATCH_FMT[] = "%s: no file matches %s\n";
    char line[4096];
    std::snprintf(line, sizeof line, NO_MATCH_FMT, s.program_name.c_str(), pattern.c_str());
    *error = line;
    return false;
  }
  return true;
}

// One name per line, as typed: empty lines are passed over, and the line end of a
// list written on Windows is not part of the name.
bool list_names(const Settings& s, const std::string& list, std::vector<std::string>* names,
                std::string* error) {
  std::ifstream file;
  std::istream* in = &std::cin;
  if (list != "-") {
    file.open(list);
    if (!file) {
      *error = system_error(s, list, errno != 0 ? errno : ENOENT);
      return false;
    }
    in = &file;
  }
  std::string line;
  while (std::getline(*in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) names->push_back(line);
  }
  if (in->bad()) {
    *error = system_error(s, list, EIO);
    return false;
  }
  if (names->empty()) {
    static constexpr char EMPTY_LIST_FMT[] = "%s: %s names no capture file\n";
    char text[4096];
    std::snprintf(text, sizeof text, EMPTY_LIST_FMT, s.program_name.c_str(),
                  list == "-" ? "the list on standard input" : list.c_str());
    *error = text;
    return false;
  }
  return true;
}

}  // namespace

bool is_glob_pattern(const std::string& text) {
  return text.find_first_of("*?[") != std::string::npos;
}

bool read_as_capture_set(const Settings& s) {
  if (!s.read_list.empty() || s.read_file == "-") return true;
  if (s.read_file.empty()) return false;
  struct stat st;
  if (stat(s.read_file.c_str(), &st) != 0) return is_glob_pattern(s.read_file);
  if (S_ISDIR(st.st_mode)) return true;
  if (!S_ISREG(st.st_mode)) return false;
  // A file is looked at without being read: a plain one keeps the classic run.
  const int fd = open(s.read_file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t head[COMPRESSION_MAGIC_BYTES];
  const ssize_t n = pread(fd, head, sizeof head, 0);
  close(fd);
  return n > 0 && compression_of(head, static_cast<size_t>(n)) != Compression::NONE;
}

bool name_capture_set(const Settings& s, CaptureSetNames* set, std::string* error) {
  *set = CaptureSetNames{};
  if (!s.read_list.empty()) {
    set->kind = SetKind::LIST;
    set->given = s.read_list;
    return list_names(s, s.read_list, &set->names, error);
  }
  set->given = s.read_file;
  if (s.read_file == "-") {
    set->kind = SetKind::STANDARD_INPUT;
    set->names.push_back("-");
    return true;
  }
  struct stat st;
  if (stat(s.read_file.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      set->kind = SetKind::DIRECTORY;
      return directory_names(s, s.read_file, &set->names, error);
    }
    set->kind = SetKind::FILE;
    set->names.push_back(s.read_file);
    return true;
  }
  if (is_glob_pattern(s.read_file) && !is_regular(s.read_file)) {
    set->kind = SetKind::PATTERN;
    return pattern_names(s, s.read_file, &set->names, error);
  }
  set->kind = SetKind::FILE;
  set->names.push_back(s.read_file);
  return true;
}
