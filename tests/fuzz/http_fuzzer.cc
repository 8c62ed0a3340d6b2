// libFuzzer target: the /metrics endpoint's handling of what a client sends, and the
// reading of a web configuration. The first byte picks which:
//  - even: the rest is sent as-is to a real server on loopback (basic
//    authentication on, as the handler then has the most to do); whatever comes
//    back must be nothing or an HTTP answer, and every so often a proper scrape
//    must still get the metrics;
//  - odd: the rest is a web configuration file; read_web_config may refuse it but
//    must not fault, and what it accepts must hold only bcrypt hashes.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "run/metrics_server.h"
#include "run/web_config.h"
#include "testlib/http_client.h"

namespace {

constexpr char METRICS[] = "portsift_fuzz 1\n";
// A bcrypt hash of "x" at the lowest cost: a guess the fuzzer finds costs little.
constexpr char HASH[] = "$2b$04$3lwctyEhs8FqJt.aqLsFYOp3qJgocK7n.B6PRrwrj8vo2qwIo5BxW";

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "metrics endpoint: %s\n", what);
  __builtin_trap();
}

MetricsServer& server() {
  static MetricsServer* s = [] {
    auto* made = new MetricsServer;
    WebConfig web;
    web.users["prometheus"] = HASH;
    std::string error;
    if (!made->start("127.0.0.1", 0, web, &error)) fail(error.c_str());
    made->publish(METRICS);
    return made;
  }();
  return *s;
}

std::string exchange(const uint8_t* data, size_t size) {
  const std::string answer = testlib::http_exchange(server().bound_port(), data, size, 2);
  if (answer == "(no connection)") fail("connection refused");
  return answer;
}

void request(const uint8_t* data, size_t size) {
  const std::string answer = exchange(data, size);
  if (!answer.empty() && answer.compare(0, 5, "HTTP/") != 0) fail("an answer that is not HTTP");
  // The metrics only ever go to a client that gave the password (header names are
  // not case-sensitive).
  std::string sent(reinterpret_cast<const char*>(data), size);
  for (char& c : sent) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (answer.find(METRICS) != std::string::npos && sent.find("authorization") == std::string::npos)
    fail("the metrics served without authentication");
  static unsigned count = 0;
  if (++count % 64 != 0) return;
  static constexpr char SCRAPE[] =
      "GET /metrics HTTP/1.1\r\nHost: x\r\nAuthorization: Basic cHJvbWV0aGV1czp4\r\n"
      "Connection: close\r\n\r\n";
  const std::string scraped =
      exchange(reinterpret_cast<const uint8_t*>(SCRAPE), sizeof SCRAPE - 1);
  if (scraped.compare(0, 12, "HTTP/1.1 200") != 0 || scraped.find(METRICS) == std::string::npos)
    fail("a proper scrape no longer gets the metrics");
}

void web_config(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    char name[] = "/tmp/portsift-web-config-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) fail("no temporary file");
    close(fd);
    return std::string(name);
  }();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) fail("cannot write the temporary file");
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  WebConfig web;
  std::string error;
  if (!read_web_config(path, &web, &error)) {
    if (error.empty()) fail("a refusal without a reason");
    return;
  }
  for (const auto& [name, hash] : web.users)
    if (hash.size() != 60 || hash.compare(0, 2, "$2") != 0) fail("a hash that is not bcrypt");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1)
    web_config(data + 1, size - 1);
  else
    request(data + 1, size - 1);
  return 0;
}
