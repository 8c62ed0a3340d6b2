// Seed inputs for the two fuzz targets, built with the capture builder: the
// connections and damaged frames the test suite uses, under a spread of settings.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_entry.h"
#include "testlib/capture_builder.h"

namespace fuzz {

struct Seed {
  std::string name;
  std::vector<uint8_t> bytes;
};

using SettingsBytes = std::array<uint8_t, SETTINGS_BYTES>;

// A frames input (see run_frames) holding these packets under these settings, on
// the link the link byte chooses.
std::vector<uint8_t> frames_input(const SettingsBytes& settings,
                                  const std::vector<testlib::Packet>& packets,
                                  uint8_t link_byte = 0);

// A classic savefile whose header carries the settings bytes.
std::vector<uint8_t> savefile_input(const SettingsBytes& settings,
                                    const std::vector<testlib::Packet>& packets,
                                    testlib::Link link = testlib::Link::ETHERNET);

std::vector<Seed> frame_seeds();

// `demo_pcap`, when not empty, is the bundled capture of real traffic to port 8080;
// it joins the seeds with the settings that select that port.
std::vector<Seed> savefile_seeds(const std::string& demo_pcap = "");

}  // namespace fuzz
