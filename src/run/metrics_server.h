// The /metrics endpoint: libmicrohttpd's server in a thread of its own, answering
// from the exposition the capture loop last published, so that a scrape sees one
// consistent moment and never holds the capture up (the loop only swaps a pointer).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "run/web_config.h"

struct MHD_Daemon;

// What a request gets, by method and path alone: the metrics for GET and HEAD of
// /metrics, a one-line page linking to them at /, 404 for other paths and 405 (with
// Allow) for other methods.
struct HttpAnswer {
  unsigned status = 200;
  std::string content_type;
  std::string body;
  std::string allow;  // for 405
};
HttpAnswer answer_request(const std::string& method, const std::string& url,
                          const std::string& metrics);

// The bounds on what clients control: connections at once, from one address, the
// memory of one request (its headers), and its time.
constexpr unsigned HTTP_MAX_CONNECTIONS = 32;
constexpr unsigned HTTP_MAX_PER_ADDRESS = 8;
constexpr size_t HTTP_REQUEST_MEMORY = 16 * 1024;
constexpr unsigned HTTP_TIMEOUT_S = 10;

class MetricsServer {
 public:
  MetricsServer() = default;
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;
  ~MetricsServer();

  // Listens on address:port and serves; false with the reason when the address
  // cannot be bound or TLS cannot be set up.
  bool start(const std::string& address, uint16_t port, const WebConfig& web, std::string* error);

  // The port listened on: the one asked for, or the one the system chose for 0.
  uint16_t bound_port() const { return port_; }

  // The exposition scrapes get from now on.
  void publish(std::string text);

  // For the server's thread: the latest exposition, and the credentials check.
  std::shared_ptr<const std::string> latest() const;
  bool authorized(const char* user, const char* password);
  bool needs_auth() const { return !web_.users.empty(); }

 private:
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  WebConfig web_;
  mutable std::mutex mutex_;  // guards latest_ and the credentials cache
  std::shared_ptr<const std::string> latest_ = std::make_shared<const std::string>();
  // bcrypt takes tens of milliseconds by design: the last credentials each user was
  // let in with are checked by comparison.
  std::map<std::string, std::string> verified_;
};
