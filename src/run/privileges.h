// Running as another user once the capture is open: what needs root (the packet
// socket, a privileged port) is done, and nothing after it runs as root.
#pragma once

#include <string>

#include "common/settings.h"
#include "common/trace.h"

// Becomes `user` (its uid, gid and groups), as tcpdump's -Z does; false with the
// reason when the user is unknown or the change is refused. Once done it cannot be
// undone.
bool drop_privileges(const std::string& user, std::string* error);

// -Z: the capture is open (and the endpoint bound); nothing after it needs root.
// True without -Z; false after saying why on the run's error stream.
bool become_user(const Settings& settings, const RunOutput& output);
