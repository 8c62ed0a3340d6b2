// The --html page in a real browser: headless Chromium renders the page of a real
// capture (the bundled loopback recording). The screenshot has the window's width
// and is not blank; nothing was fetched (every request would have gone to a proxy
// this test listens as, and a page that does fetch shows that the proxy sees it);
// the DOM Chromium built holds the charts and the figures of --json for the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testlib/files.h"
#include "testlib/runner.h"

using namespace testlib;
using Json = nlohmann::json;

namespace {

constexpr char CHROMIUM[] = "/usr/bin/chromium";
constexpr int WIDTH = 1000;
constexpr int HEIGHT = 1400;

// Chromium's proxy, so every request reaches it: it keeps each request's first line
// and answers none.
class CountingProxy {
 public:
  CountingProxy() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 16) != 0)
      return;
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const int c = accept(fd_, nullptr, nullptr);
        if (c < 0) continue;
        char line[512];
        ssize_t n = 0;
        pollfd r{c, POLLIN, 0};
        if (poll(&r, 1, 1000) > 0) n = recv(c, line, sizeof line - 1, 0);
        const std::string text(line, n > 0 ? static_cast<size_t>(n) : 0);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(text.substr(0, text.find("\r\n")));
        }
        close(c);  // nothing is served: the fetch fails, which is all it should do
      }
    });
  }
  ~CountingProxy() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  int port() const { return port_; }
  // The requests of the page, not Chromium's own: the browser asks Google's
  // services for the time, updates and accounts whatever page it shows.
  std::vector<std::string> page_requests() const {
    static const std::regex browser_own(
        "^[A-Z]+ (https?://)?[a-z0-9.-]*(google\\.com|googleapis\\.com|gvt1\\.com|gstatic\\.com)"
        "[:/].*");
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> page;
    for (const std::string& r : requests_)
      if (!std::regex_match(r, browser_own)) page.push_back(r);
    return page;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// Headless Chromium as the machine's closed network needs it, with every request
// sent to the proxy; `action` is --screenshot=FILE or --dump-dom.
RunResult chromium(const std::string& page, const std::string& action, int proxy_port) {
  RunOptions o;
  o.binary = CHROMIUM;
  o.timeout_s = 90;
  return run_portsift({"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                       "--no-first-run", "--disable-background-networking",
                       "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                       "--user-data-dir=" + scratch_dir() + "/profile-" + std::to_string(rand()),
                       "--proxy-server=http://127.0.0.1:" + std::to_string(proxy_port),
                       "--proxy-bypass-list=<-loopback>",
                       "--window-size=" + std::to_string(WIDTH) + "," + std::to_string(HEIGHT),
                       action, "file://" + page},
                      o);
}

struct Image {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgb;  // three bytes a pixel, row by row
};

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// An 8-bit RGB or RGBA PNG, as Chromium writes its screenshots, decoded through zlib
// and PNG's row filters.
bool decode_png(const std::string& bytes, Image* out) {
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() < 33 || std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) != 0) return false;
  std::string compressed;
  uint32_t channels = 0;
  for (size_t at = 8; at + 12 <= bytes.size();) {
    const uint32_t len = be32(b + at);
    const std::string type(bytes, at + 4, 4);
    if (at + 12 + len > bytes.size()) return false;
    const uint8_t* data = b + at + 8;
    if (type == "IHDR") {
      out->width = be32(data);
      out->height = be32(data + 4);
      if (data[8] != 8 || (data[9] != 2 && data[9] != 6) || data[12] != 0) return false;
      channels = data[9] == 2 ? 3 : 4;
    } else if (type == "IDAT") {
      compressed.append(reinterpret_cast<const char*>(data), len);
    }
    at += 12 + len;
  }
  if (channels == 0) return false;
  const size_t stride = size_t{out->width} * channels;
  std::vector<uint8_t> raw((stride + 1) * out->height);
  uLongf raw_len = raw.size();
  if (uncompress(raw.data(), &raw_len, reinterpret_cast<const Bytef*>(compressed.data()),
                 compressed.size()) != Z_OK ||
      raw_len != raw.size())
    return false;
  std::vector<uint8_t> prev(stride, 0), row(stride);
  out->rgb.clear();
  for (uint32_t y = 0; y < out->height; ++y) {
    const uint8_t filter = raw[y * (stride + 1)];
    const uint8_t* in = &raw[y * (stride + 1) + 1];
    for (size_t x = 0; x < stride; ++x) {
      const int a = x >= channels ? row[x - channels] : 0, up = prev[x],
                c = x >= channels ? prev[x - channels] : 0;
      int predicted = 0;
      switch (filter) {
        case 1: predicted = a; break;
        case 2: predicted = up; break;
        case 3: predicted = (a + up) / 2; break;
        case 4: {
          const int p = a + up - c, pa = std::abs(p - a), pb = std::abs(p - up), pc = std::abs(p - c);
          predicted = pa <= pb && pa <= pc ? a : pb <= pc ? up : c;
          break;
        }
        default: break;
      }
      row[x] = static_cast<uint8_t>(in[x] + predicted);
    }
    for (uint32_t x = 0; x < out->width; ++x)
      for (int k = 0; k < 3; ++k) out->rgb.push_back(row[x * channels + k]);
    prev = row;
  }
  return true;
}

class PageInBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(CHROMIUM, X_OK) != 0) GTEST_SKIP() << "no " << CHROMIUM << " (make deps installs it)";
    ASSERT_GT(proxy_.port(), 0);
  }
  CountingProxy proxy_;
};

TEST_F(PageInBrowser, RendersTheRealCaptureWithItsFiguresAndFetchesNothing) {
  const std::string page = scratch_dir() + "/demo.html";
  const RunResult run = run_portsift({"-p", "8080", "--json", "--html", page, "-r", DEMO_PCAP});
  ASSERT_EQ(run.status, 0) << run.err;
  const Json report = Json::parse(run.out);

  // The screenshot: the window's width, and far from blank.
  const std::string shot = scratch_dir() + "/demo.png";
  const RunResult shoot = chromium(page, "--screenshot=" + shot, proxy_.port());
  ASSERT_EQ(shoot.status, 0) << shoot.err;
  Image image;
  ASSERT_TRUE(decode_png(read_file(shot), &image));
  EXPECT_EQ(image.width, static_cast<uint32_t>(WIDTH));
  EXPECT_EQ(image.height, static_cast<uint32_t>(HEIGHT));
  std::set<uint32_t> colours;
  size_t inked = 0;
  const uint8_t* background = image.rgb.data();  // the top left corner
  for (size_t i = 0; i + 2 < image.rgb.size(); i += 3) {
    const uint8_t* p = &image.rgb[i];
    colours.insert((uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]);
    inked += std::memcmp(p, background, 3) != 0;
  }
  EXPECT_GT(colours.size(), 20u) << "a page of text, cards and charts has many shades";
  EXPECT_GT(inked, image.rgb.size() / 3 / 20) << "at least 5% of the pixels are drawn";

  // The DOM Chromium built: the page's charts, and the cards with the JSON's figures.
  const RunResult dom_run = chromium(page, "--dump-dom", proxy_.port());
  ASSERT_EQ(dom_run.status, 0) << dom_run.err;
  const std::string& dom = dom_run.out;
  const auto count = [&](const std::string& pattern) {
    const std::regex re(pattern);
    return std::distance(std::sregex_iterator(dom.begin(), dom.end(), re), std::sregex_iterator());
  };
  EXPECT_GE(count("<svg class=\"chart"), 5);
  EXPECT_GT(count("<rect class=\"bar"), 5);
  EXPECT_GT(count("<title>"), 20);
  const Json& port = report["ports"][0];
  const auto card = [&](const std::string& figure) {
    std::smatch m;
    const std::regex re("data-figure=\"" + figure + "\" data-value=\"([^\"]*)\"");
    return std::regex_search(dom, m, re) ? m[1].str() : std::string("missing");
  };
  EXPECT_EQ(card("completed"), port["summary"]["connections"].dump());
  EXPECT_EQ(card("refused"), port["summary"]["refused"].dump());
  EXPECT_EQ(card("repeated_syns"), port["summary"]["duplicate_syns"].dump());
  const Json& pct = port["percentiles"];
  for (const char* key : {"handshake_us", "duration_us"})
    for (const char* point : {"p50", "p90", "p99", "max"}) {
      const std::string figure = std::regex_replace(key, std::regex("_us$"), "") + "_" + point;
      EXPECT_DOUBLE_EQ(std::stod(card(figure)), pct[key][point].get<double>()) << figure;
    }
  // The duration chart's bars hold every completed connection.
  const size_t chart = dom.find("<svg class=\"chart\"");
  const std::string first_chart = dom.substr(chart, dom.find("</svg>", chart) - chart);
  long long in_bars = 0;
  const std::regex bar("data-count=\"(\\d+)\"");
  for (std::sregex_iterator it(first_chart.begin(), first_chart.end(), bar), end; it != end; ++it)
    in_bars += std::stoll((*it)[1]);
  EXPECT_EQ(in_bars, port["summary"]["connections"].get<long long>());

  EXPECT_EQ(proxy_.page_requests(), std::vector<std::string>{}) << "the page fetched something";
}

// The proxy does see what a page fetches: without this the test above proves
// nothing about fetches.
TEST_F(PageInBrowser, TheProxySeesAFetchingPage) {
  const std::string page = scratch_dir() + "/fetching.html";
  std::ofstream(page) << "<!DOCTYPE html><html><body><img src=\"http://portsift.example/x.png\">"
                         "</body></html>\n";
  const RunResult r = chromium(page, "--dump-dom", proxy_.port());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> fetched = proxy_.page_requests();
  ASSERT_EQ(fetched.size(), 1u);
  EXPECT_EQ(fetched[0], "GET http://portsift.example/x.png HTTP/1.1");
}

}  // namespace
