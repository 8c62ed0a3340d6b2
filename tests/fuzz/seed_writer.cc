// Writes the seed corpora of the two fuzz targets: fuzz_seeds FRAMES_DIR SAVEFILE_DIR
// [DEMO_PCAP]. The directories must exist.
#include <cstdio>

#include "fuzz/fuzz_seeds.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s frames_dir savefile_dir [demo.pcap]\n", argv[0]);
    return 1;
  }
  const struct {
    const char* dir;
    std::vector<fuzz::Seed> seeds;
  } corpora[] = {
      {argv[1], fuzz::frame_seeds()},
      {argv[2], fuzz::savefile_seeds(argc > 3 ? argv[3] : "")},
  };
  for (const auto& corpus : corpora)
    for (const fuzz::Seed& seed : corpus.seeds)
      testlib::write_bytes(std::string(corpus.dir) + "/" + seed.name, seed.bytes);
  return 0;
}
