// One HTTP exchange on loopback, as a client that misbehaves at will: the bytes are
// sent as given, the sending side is then closed, and whatever comes back until the
// server closes (or the timeout passes) is the answer. Header-only, for the fuzz
// targets too.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace testlib {

// "" when nothing came back; "(no connection)" when the port refused.
inline std::string http_exchange(uint16_t port, const void* request, size_t size,
                                 int timeout_s = 3) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return "(no connection)";
  }
  timeval limit{timeout_s, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const char* bytes = static_cast<const char*>(request);
  for (size_t sent = 0; sent < size;) {
    const ssize_t n = send(fd, bytes + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may close on an oversized request
    sent += static_cast<size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  char buf[4096];
  for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
  close(fd);
  return answer;
}

inline std::string http_exchange(uint16_t port, const std::string& request) {
  return http_exchange(port, request.data(), request.size());
}

}  // namespace testlib
