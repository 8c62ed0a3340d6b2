// The /metrics endpoint, served for real on loopback: what each method and path
// gets, what a malformed or oversized request gets (and that the server goes on
// serving after it), basic authentication, and TLS from a web configuration.
#include "run/metrics_server.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "run/web_config.h"
#include "testlib/http_client.h"
#include "testlib/runner.h"

namespace {

constexpr char METRICS[] = "# HELP portsift_test A test.\n# TYPE portsift_test gauge\nportsift_test 1\n";

std::string exchange(uint16_t port, const std::string& request) {
  return testlib::http_exchange(port, request);
}

// The status of an answer's first line; 0 when there was no answer.
int status_of(const std::string& answer) {
  if (answer.compare(0, 5, "HTTP/") != 0) return 0;
  const size_t space = answer.find(' ');
  return space == std::string::npos ? 0 : std::atoi(answer.c_str() + space + 1);
}

std::string body_of(const std::string& answer) {
  const size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

std::string get(const std::string& path, const std::string& headers = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + headers +
         "\r\n";
}

class Endpoint : public ::testing::Test {
 protected:
  void serve(const WebConfig& web = {}) {
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, web, &error)) << error;
    server.publish(METRICS);
  }
  MetricsServer server;
};

TEST(AnswerRequest, MethodsAndPaths) {
  const struct {
    const char* method;
    const char* url;
    unsigned status;
    const char* allow;
  } cases[] = {
      {"GET", "/metrics", 200, ""},    {"HEAD", "/metrics", 200, ""},
      {"GET", "/", 200, ""},           {"HEAD", "/", 200, ""},
      {"POST", "/metrics", 405, "GET, HEAD"}, {"PUT", "/", 405, "GET, HEAD"},
      {"OPTIONS", "/metrics", 405, "GET, HEAD"}, {"get", "/metrics", 405, "GET, HEAD"},
      {"GET", "/metrics/", 404, ""},   {"GET", "/Metrics", 404, ""},
      {"GET", "/../metrics", 404, ""}, {"GET", "", 404, ""},
      {"DELETE", "/nothing", 404, ""},  // an unknown path is not found, whatever the method
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.url);
    const HttpAnswer a = answer_request(c.method, c.url, METRICS);
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.allow, c.allow);
    if (c.status == 200 && std::string(c.url) == "/metrics") {
      EXPECT_EQ(a.body, METRICS);
      EXPECT_EQ(a.content_type, "text/plain; version=0.0.4; charset=utf-8");
    }
  }
  EXPECT_NE(answer_request("GET", "/", METRICS).body.find("href=\"/metrics\""), std::string::npos);
}

struct BadRequest {
  const char* name;
  std::string request;
  int status;  // 0: any error status, or the connection closed without one
};

void PrintTo(const BadRequest& c, std::ostream* os) { *os << c.name; }

const BadRequest BAD_REQUESTS[] = {
    {"Post", "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nabcd", 405},
    {"UnknownPath", get("/admin"), 404},
    {"QueryIgnored", get("/metrics?debug=1"), 200},
    {"UnknownVersion", "GET /metrics HTTP/7.0\r\nHost: x\r\n\r\n", 0},
    {"Garbage", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 0},
    {"NoSpaces", "GET/metricsHTTP/1.1\r\nHost: x\r\n\r\n", 0},
    {"EmptyLine", "\r\n\r\n", 0},
    {"NothingSent", "", 0},
    {"HugeHeader", get("/metrics", "X-Big: " + std::string(64 * 1024, 'a') + "\r\n"), 0},
    {"HugeUrl", get("/metrics?" + std::string(64 * 1024, 'a')), 0},
    {"ManyHeaders", get("/metrics", [] {
       std::string h;
       for (int i = 0; i < 4000; ++i) h += "X-" + std::to_string(i) + ": v\r\n";
       return h;
     }()), 0},
    // Answered from the headers: the announced body is never waited for.
    {"BodyOnGet", "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\nab", 200},
    {"BadChunked", "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 0},
};

class MalformedRequests : public Endpoint, public ::testing::WithParamInterface<BadRequest> {};

TEST_P(MalformedRequests, AreAnsweredOrDroppedAndServingGoesOn) {
  const BadRequest& c = GetParam();
  serve();
  const int status = status_of(exchange(server.bound_port(), c.request));
  if (c.status != 0)
    EXPECT_EQ(status, c.status);
  else
    EXPECT_TRUE(status == 0 || status >= 400) << status;
  const std::string after = exchange(server.bound_port(), get("/metrics"));
  EXPECT_EQ(status_of(after), 200);
  EXPECT_EQ(body_of(after), METRICS);
}

INSTANTIATE_TEST_SUITE_P(Endpoint, MalformedRequests, ::testing::ValuesIn(BAD_REQUESTS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Endpoint, ServesWhatWasLastPublishedWithItsHeaders) {
  serve();
  const std::string first = exchange(server.bound_port(), get("/metrics"));
  EXPECT_NE(first.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
            std::string::npos);
  server.publish("portsift_test 2\n");
  EXPECT_EQ(body_of(exchange(server.bound_port(), get("/metrics"))), "portsift_test 2\n");
  const std::string head = exchange(server.bound_port(), "HEAD /metrics HTTP/1.1\r\nHost: x\r\n"
                                                         "Connection: close\r\n\r\n");
  EXPECT_EQ(status_of(head), 200);
  EXPECT_EQ(body_of(head), "");
  const std::string refused = exchange(server.bound_port(), "PUT /metrics HTTP/1.1\r\nHost: x\r\n"
                                                            "Content-Length: 0\r\n\r\n");
  EXPECT_NE(refused.find("Allow: GET, HEAD\r\n"), std::string::npos);
}

TEST_F(Endpoint, IdleConnectionsFromOneAddressAreBounded) {
  serve();
  std::vector<int> idle;
  for (int i = 0; i < 20; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server.bound_port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    idle.push_back(fd);
  }
  // Those beyond the bound are closed at once: a read sees the end, not a timeout.
  int closed = 0;
  for (int fd : idle) {
    timeval limit{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char c;
    if (recv(fd, &c, 1, 0) == 0) closed++;
  }
  EXPECT_EQ(closed, 20 - static_cast<int>(HTTP_MAX_PER_ADDRESS));
  for (int fd : idle) close(fd);
  // Once they are gone, scrapes are served again.
  std::string answer;
  for (int attempt = 0; attempt < 50 && status_of(answer) != 200; ++attempt) {
    usleep(20000);
    answer = exchange(server.bound_port(), get("/metrics"));
  }
  EXPECT_EQ(status_of(answer), 200);
}

TEST_F(Endpoint, RefusesAnAddressInUse) {
  serve();
  MetricsServer second;
  std::string error;
  EXPECT_FALSE(second.start("127.0.0.1", server.bound_port(), {}, &error));
  EXPECT_EQ(error, "Address already in use");
}

// A bcrypt hash of `password` at the lowest cost, so the test stays quick.
std::string bcrypt(const std::string& password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  EXPECT_NE(crypt_gensalt_rn("$2b$", 4, nullptr, 0, salt, sizeof salt), nullptr);
  struct crypt_data data {};
  const char* hash = crypt_r(password.c_str(), salt, &data);
  return hash == nullptr ? "" : hash;
}

std::string basic(const std::string& credentials) {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < credentials.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(credentials[i]) << 16;
    if (i + 1 < credentials.size()) v |= static_cast<uint8_t>(credentials[i + 1]) << 8;
    if (i + 2 < credentials.size()) v |= static_cast<uint8_t>(credentials[i + 2]);
    out += ALPHABET[v >> 18 & 63];
    out += ALPHABET[v >> 12 & 63];
    out += i + 1 < credentials.size() ? ALPHABET[v >> 6 & 63] : '=';
    out += i + 2 < credentials.size() ? ALPHABET[v & 63] : '=';
  }
  return "Authorization: Basic " + out + "\r\n";
}

TEST_F(Endpoint, BasicAuthenticationLetsInOnlyTheRightPassword) {
  WebConfig web;
  web.users["prometheus"] = bcrypt("s3cret");
  serve(web);
  const struct {
    const char* name;
    std::string headers;
    int status;
  } cases[] = {
      {"none", "", 401},
      {"wrong password", basic("prometheus:secret"), 401},
      {"unknown user", basic("admin:s3cret"), 401},
      {"no colon", basic("prometheus"), 401},
      {"not base64", "Authorization: Basic ***\r\n", 401},
      {"right", basic("prometheus:s3cret"), 200},
      {"right again (remembered)", basic("prometheus:s3cret"), 200},
      {"wrong after right", basic("prometheus:s3cret2"), 401},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string answer = exchange(server.bound_port(), get("/metrics", c.headers));
    EXPECT_EQ(status_of(answer), c.status);
    if (c.status == 401) {
      EXPECT_NE(answer.find("WWW-Authenticate: Basic realm=\"portsift\""), std::string::npos);
      EXPECT_EQ(answer.find("portsift_test"), std::string::npos);
    } else {
      EXPECT_EQ(body_of(answer), METRICS);
    }
  }
}

int shell(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// TLS as Prometheus gets it: a certificate and key from the web configuration, and
// curl (as a scraper) trusting that certificate.
TEST_F(Endpoint, ServesTlsFromTheWebConfiguration) {
  const std::string dir = testlib::scratch_dir();
  ASSERT_EQ(shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                  "-subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 -days 2 -keyout " +
                  dir + "/server.key -out " + dir + "/server.crt 2>/dev/null"),
            0);
  const std::string config = dir + "/web.yml";
  std::ofstream(config) << "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                           "  min_version: TLS13\nbasic_auth_users:\n  prometheus: "
                        << bcrypt("s3cret") << "\n";
  WebConfig web;
  std::string error;
  ASSERT_TRUE(read_web_config(config, &web, &error)) << error;
  serve(web);
  const std::string url = "https://127.0.0.1:" + std::to_string(server.bound_port()) + "/metrics";
  const std::string curl = "curl -s --max-time 5 --cacert " + dir + "/server.crt ";
  EXPECT_EQ(shell(curl + "-u prometheus:s3cret -o " + dir + "/scraped " + url), 0);
  std::ifstream scraped(dir + "/scraped");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(scraped), {}), METRICS);
  // The password is still asked for over TLS; TLS 1.2 is below the minimum; plain
  // HTTP gets no answer.
  EXPECT_EQ(shell(curl + "-o /dev/null -w '%{http_code}' " + url + " | grep -qx 401"), 0);
  EXPECT_NE(shell(curl + "--tls-max 1.2 -u prometheus:s3cret -o /dev/null " + url), 0);
  EXPECT_EQ(status_of(exchange(server.bound_port(), get("/metrics"))), 0);
}

}  // namespace
