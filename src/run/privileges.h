// Running as another user once the capture is open: what needs root (the packet
// socket, a privileged port) is done, and nothing after it runs as root.
#pragma once

#include <string>

// Becomes `user` (its uid, gid and groups), as tcpdump's -Z does; false with the
// reason when the user is unknown or the change is refused. Once done it cannot be
// undone.
bool drop_privileges(const std::string& user, std::string* error);
