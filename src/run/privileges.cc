#include "run/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

bool drop_privileges(const std::string& user, std::string* error) {
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  const int rc = getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (found == nullptr) {
    *error = rc != 0 ? std::string("cannot look the user up: ") + std::strerror(rc)
                     : std::string("no such user");
    return false;
  }
  // Not root, and already the user: there is nothing to give up.
  if (geteuid() != 0 && geteuid() == found->pw_uid && getuid() == found->pw_uid) return true;
  // The groups first, then the group, then the user: once the user is changed the
  // rest could no longer be.
  if (initgroups(found->pw_name, found->pw_gid) != 0 || setgid(found->pw_gid) != 0 ||
      setuid(found->pw_uid) != 0) {
    *error = std::string("cannot become ") + user + ": " + std::strerror(errno);
    return false;
  }
  // A process that could become root again has not dropped anything.
  if (found->pw_uid != 0 && setuid(0) == 0) {
    *error = "became " + user + " but could become root again";
    return false;
  }
  return true;
}

bool become_user(const Settings& s, const RunOutput& output) {
  if (s.user.empty()) return true;
  std::string error;
  if (drop_privileges(s.user, &error)) return true;
  static constexpr char USER_FMT[] = "%s: -Z %s: %s\n";
  std::fprintf(output.err, USER_FMT, s.program_name.c_str(), s.user.c_str(), error.c_str());
  return false;
}
