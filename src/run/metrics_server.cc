#include "run/metrics_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr char METRICS_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char PAGE[] =
    "<!DOCTYPE html><html><head><title>portsift</title></head><body><a href=\"/metrics\">"
    "Metrics</a></body></html>\n";

MHD_Result queue(MHD_Connection* connection, const HttpAnswer& a, bool auth_failed) {
  MHD_Response* response = MHD_create_response_from_buffer(
      a.body.size(), const_cast<char*>(a.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  if (!a.content_type.empty())
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, a.content_type.c_str());
  if (!a.allow.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, a.allow.c_str());
  const MHD_Result rc = auth_failed
                            ? MHD_queue_basic_auth_fail_response(connection, "portsift", response)
                            : MHD_queue_response(connection, a.status, response);
  MHD_destroy_response(response);
  return rc;
}

MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                      const char* /*version*/, const char* /*upload_data*/,
                      size_t* upload_data_size, void** state) {
  MetricsServer& server = *static_cast<MetricsServer*>(cls);
  // Every request is answered at its first call, once its headers are in: no answer
  // here needs a body, so one is never read (the connection closes after the answer
  // instead), and a client cannot hold memory with an upload.
  (void)upload_data_size;
  (void)state;
  if (server.needs_auth()) {
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    const bool ok = user != nullptr && password != nullptr && server.authorized(user, password);
    if (user != nullptr) MHD_free(user);
    if (password != nullptr) MHD_free(password);
    if (!ok) {
      HttpAnswer denied;
      denied.status = MHD_HTTP_UNAUTHORIZED;
      denied.content_type = "text/plain; charset=utf-8";
      denied.body = "Unauthorized\n";
      return queue(connection, denied, true);
    }
  }
  const std::shared_ptr<const std::string> metrics = server.latest();
  return queue(connection, answer_request(method, url, *metrics), false);
}

// The listening socket, bound here so that a failure says why.
int listen_on(const std::string& address, uint16_t port, bool* ipv6, std::string* error) {
  sockaddr_storage storage{};
  socklen_t length;
  *ipv6 = address.find(':') != std::string::npos;
  if (*ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
    length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a->sin_addr);
    length = sizeof *a;
  }
  const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::strerror(errno);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (*ipv6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      listen(fd, static_cast<int>(HTTP_MAX_CONNECTIONS)) != 0) {
    *error = std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// Equality in a time that depends on the lengths only, so that a client cannot find
// the cached password a byte at a time by timing its answers.
bool same_secret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

HttpAnswer answer_request(const std::string& method, const std::string& url,
                          const std::string& metrics) {
  HttpAnswer a;
  const bool head = method == MHD_HTTP_METHOD_HEAD;
  if (url != "/metrics" && url != "/") {
    a.status = MHD_HTTP_NOT_FOUND;
    a.content_type = "text/plain; charset=utf-8";
    a.body = "Not found: the metrics are at /metrics\n";
    return a;
  }
  if (method != MHD_HTTP_METHOD_GET && !head) {
    a.status = MHD_HTTP_METHOD_NOT_ALLOWED;
    a.content_type = "text/plain; charset=utf-8";
    a.body = "Only GET and HEAD\n";
    a.allow = "GET, HEAD";
    return a;
  }
  if (url == "/") {
    a.content_type = "text/html; charset=utf-8";
    a.body = PAGE;
  } else {
    a.content_type = METRICS_TYPE;
    a.body = metrics;
  }
  return a;
}

MetricsServer::~MetricsServer() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

bool MetricsServer::start(const std::string& address, uint16_t port, const WebConfig& web,
                          std::string* error) {
  web_ = web;
  const bool tls = !web.cert_pem.empty();
  if (tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
    *error = "this libmicrohttpd serves no TLS";
    return false;
  }
  bool ipv6 = false;
  const int fd = listen_on(address, port, &ipv6, error);
  if (fd < 0) return false;
  sockaddr_storage bound{};
  socklen_t bound_length = sizeof bound;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_length) == 0)
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL;
  if (tls) flags |= MHD_USE_TLS;
  if (ipv6) flags |= MHD_USE_IPv6;
  MHD_OptionItem items[] = {
      {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, HTTP_MAX_CONNECTIONS, nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, HTTP_MAX_PER_ADDRESS, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(HTTP_REQUEST_MEMORY), nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, HTTP_TIMEOUT_S, nullptr},
      {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, const_cast<char*>(web_.key_pem.c_str())},
      {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0,
       const_cast<char*>(web_.cert_pem.c_str())},
      {tls && !web_.tls_priorities.empty() ? MHD_OPTION_HTTPS_PRIORITIES : MHD_OPTION_END, 0,
       const_cast<char*>(web_.tls_priorities.c_str())},
      {MHD_OPTION_END, 0, nullptr},
  };
  // Options end at the first MHD_OPTION_END: the TLS ones that do not apply are moved
  // behind it.
  MHD_OptionItem used[sizeof items / sizeof items[0]];
  size_t n = 0;
  for (const MHD_OptionItem& item : items)
    if (item.option != MHD_OPTION_END) used[n++] = item;
  used[n] = MHD_OptionItem{MHD_OPTION_END, 0, nullptr};
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &on_request, this, MHD_OPTION_ARRAY,
                             used, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    close(fd);
    *error = tls ? "the TLS certificate or key was refused" : "the server could not start";
    return false;
  }
  return true;
}

void MetricsServer::publish(std::string text) {
  auto fresh = std::make_shared<const std::string>(std::move(text));
  std::lock_guard<std::mutex> lock(mutex_);
  latest_.swap(fresh);
  // The old exposition is freed here or by the last scrape still reading it.
}

std::shared_ptr<const std::string> MetricsServer::latest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latest_;
}

bool MetricsServer::authorized(const char* user, const char* password) {
  const auto it = web_.users.find(user);
  if (it == web_.users.end()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto seen = verified_.find(user);
    if (seen != verified_.end() && same_secret(seen->second, password)) return true;
  }
  if (!password_matches(it->second, password)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  verified_[user] = password;
  return true;
}
