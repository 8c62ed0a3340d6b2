// Whether two names, or two open files, are the same file: compared by device and
// inode, so that another path to a file (a link, "./x" for "x") is caught too.
#pragma once

#include <cstdio>
#include <string>

// False when either cannot be examined (a name that does not exist yet is no file).
bool same_file(const std::string& a, const std::string& b);
bool same_file(int fd, FILE* file);

// Whether a name is something other than a regular file (a device such as
// /dev/null, a pipe): two outputs may share it. "-" (standard output) is not.
bool is_device(const std::string& name);
