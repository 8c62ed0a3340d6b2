// Replays through the fuzz entry points every fuzzer finding kept in
// tests/fuzz/regressions and every seed, in each build: under AddressSanitizer and
// UndefinedBehaviorSanitizer in check-asan, so a fixed fault stays fixed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/fuzz_entry.h"
#include "fuzz/fuzz_seeds.h"
#include "testlib/files.h"

namespace {

// Standard output to /dev/null while alive: the reports are not what is tested.
class Silenced {
 public:
  Silenced() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
  ~Silenced() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

struct Target {
  const char* kind;  // the subdirectory of regressions/
  int64_t (*run)(const uint8_t*, size_t);  // the connections counted
  std::vector<fuzz::Seed> (*seeds)();
};

const Target TARGETS[] = {
    {"frames", fuzz::run_frames, [] { return fuzz::frame_seeds(); }},
    {"savefile", fuzz::run_savefile, [] { return fuzz::savefile_seeds(DEMO_PCAP); }},
};


TEST(FuzzReplay, KeptFindingsRunCleanly) {
  for (const Target& t : TARGETS) {
    const std::filesystem::path dir = std::filesystem::path(FUZZ_DIR) / "regressions" / t.kind;
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir << " is missing";
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    EXPECT_FALSE(files.empty()) << dir << " holds no input";
    for (const auto& file : files) {
      SCOPED_TRACE(file.string());
      const std::vector<uint8_t> bytes = testlib::read_bytes(file.string());
      Silenced quiet;
      t.run(bytes.data(), bytes.size());
    }
  }
}

TEST(FuzzReplay, SeedsRunCleanly) {
  for (const Target& t : TARGETS)
    for (const fuzz::Seed& seed : t.seeds()) {
      SCOPED_TRACE(std::string(t.kind) + "/" + seed.name);
      Silenced quiet;
      t.run(seed.bytes.data(), seed.bytes.size());
    }
}

// A harness that never reached the connection tracker would fuzz nothing: seeds
// that hold complete connections must have them counted, through every framing.
TEST(FuzzReplay, SeedsReachTheTracker) {
  const struct {
    const char* kind;
    const char* seed;
    int64_t nconns;
  } cases[] = {
      {"frames", "plain_worked", 1},
      {"frames", "loopback_worked", 1},
      {"frames", "plain_mixed", 4},
      {"savefile", "plain_worked", 1},
      {"savefile", "loopback_worked", 1},
      {"savefile", "pcapng_worked", 1},
      {"savefile", "nanoseconds_worked", 1},
      {"savefile", "swapped_mixed", 4},
      {"savefile", "pcapng_mixed", 4},
      {"savefile", "swapped_loopback_worked", 1},
      {"savefile", "demo_8080", 30},
      {"frames", "wide_plain_qinq_ipv6_mixed", 4},
      {"frames", "wide_plain_cooked_ipv6_mixed", 4},
      {"frames", "wide_plain_cooked2_ipv6_mixed", 4},
      {"frames", "wide_plain_raw_ipv6_mixed", 4},
      {"frames", "wide_plain_loopback_ipv6_mixed", 4},
      {"savefile", "wide_plain_dot1q_ipv6_mixed", 4},
      {"savefile", "wide_link113_ipv6_mixed", 4},
      {"savefile", "wide_link276_ipv6_mixed", 4},
      {"savefile", "wide_link12_ipv6_mixed", 4},
      {"savefile", "wide_link0_ipv6_mixed", 4},
  };
  for (const auto& c : cases) {
    const Target& t = *std::find_if(std::begin(TARGETS), std::end(TARGETS),
                                    [&](const Target& x) { return c.kind == std::string(x.kind); });
    const std::vector<fuzz::Seed> seeds = t.seeds();
    const auto seed = std::find_if(seeds.begin(), seeds.end(),
                                   [&](const fuzz::Seed& s) { return s.name == c.seed; });
    ASSERT_NE(seed, seeds.end()) << c.seed;
    int64_t counted;
    {
      Silenced quiet;
      counted = t.run(seed->bytes.data(), seed->bytes.size());
    }
    EXPECT_EQ(counted, c.nconns) << c.kind << "/" << c.seed;
  }
}

}  // namespace
