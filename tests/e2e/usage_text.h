// The usage text as a user sees it, for the program name "portsift".
#pragma once

#include <string>

namespace testlib {

inline const std::string USAGE =
    "Usage: portsift -p port [-d] [-R] [-r from_file] [-w to_file] [-i ifname] [-n nbuckets] "
    "[-s bucket size] [-X max-srvr-rsp-size] [ -x max-clnt-req-size] [-T]  [-D msecs] "
    "[-P|-C|-S] [-c num_attempts] [-I timespec] [filter]\n"
    "-d: Debug on (default off)\n"
    "-c: Print connections that took >= num_attempts to establish\n"
    "-R: Raw format output. Useful for scripts\n"
    "-r: Data is read from file instead of live interface\n"
    "-w: Data is written to a file.\n"
    "-i: Interface name (default is ethernet interface)\n"
    "-n: Number of buckets for getting the distribution. Default 20\n"
    "-s: Bucket size (connection life time). Default 20ms\n"
    "-t: Run time in seconds (default 60)\n"
    "-X: Consider only those connections where the server sends data less than this number. "
    "0 considers all conns (default)\n"
    "-x: Consider only those connections where the client sends data less than this number. "
    "0 considers all conns (default)\n"
    "-Y: Consider only those connections where the server sends data more than this number. "
    "0 considers all conns (default)\n"
    "-y: Consider only those connections where the client sends data more than this number. "
    "0 considers all conns (default)\n"
    "  Only one of -x or -X can be specified\n"
    "-T: Attempt to estimate round trip time\n"
    "  Estimates may be wrong if the command is run on the server side. See man page.\n"
    "-D: Print connection filters for the bucket starting with this value\n"
    "  Useful when portsift reads from file. You can then filter by port to look at "
    "individual connection trace\n"
    "-p: port number you want to monitor. Must be specified\n"
    "-I: Consider pkts newer than this time. Specify in HH:MM:SS or YYYY-MM-DD.HH:MM:SS format\n"
    "-P for sorting the output by throughput\n"
    "-C for sorting the output by number of bytes sent by client\n"
    "-S for sorting the output by number of bytes sent by server\n"
    "filter: Optional, specified as in tcpdump(1)\n"
    "Connections are placed in one of the buckets depending on duration\n"
    "You must be super-user to run this program\n"
    "Type 'man portsift' for more information\n";

}  // namespace testlib
