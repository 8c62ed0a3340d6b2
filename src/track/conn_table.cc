#include "track/conn_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

ConnTable g_conns;

namespace {

uint64_t endpoint(uint32_t addr, uint32_t port) { return static_cast<uint64_t>(addr) << 32 | port; }

}  // namespace

ClientKey client_key(uint32_t addr, uint32_t port) {
  // The key shows the address bytes read as a little-endian number, whatever the
  // host's own order: 10.0.0.1 is 0x100000a.
  unsigned char b[4];
  std::memcpy(b, &addr, 4);
  unsigned int le = static_cast<unsigned int>(b[0]) | static_cast<unsigned int>(b[1]) << 8 |
                    static_cast<unsigned int>(b[2]) << 16 | static_cast<unsigned int>(b[3]) << 24;
  ClientKey key{};
  static constexpr char KEY_FMT[] = "%#8x%#4x";
  std::snprintf(key.data(), key.size(), KEY_FMT, le, port);
  return key;
}

ConnInfo* conn_find(uint32_t addr, uint32_t port) {
  auto it = g_conns.records.find(endpoint(addr, port));
  return it == g_conns.records.end() ? nullptr : &it->second;
}

ConnInfo* conn_insert(uint32_t addr, uint32_t port) {
  ConnInfo fresh{};  // every field zero
  return &g_conns.records.emplace(endpoint(addr, port), fresh).first->second;
}

void conn_erase(uint32_t addr, uint32_t port) { g_conns.records.erase(endpoint(addr, port)); }

size_t conn_count() { return g_conns.records.size(); }

std::vector<const ConnInfo*> conns_in_key_order() {
  struct Keyed {
    ClientKey key;
    const ConnInfo* info;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(g_conns.records.size());
  for (const auto& entry : g_conns.records)
    keyed.push_back(
        {client_key(entry.second.client_addr, entry.second.client_port), &entry.second});
  // Byte order of the texts, a shorter prefix first: strcmp on the terminated keys.
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    return std::strcmp(a.key.data(), b.key.data()) < 0;
  });
  std::vector<const ConnInfo*> out;
  out.reserve(keyed.size());
  for (const Keyed& k : keyed) out.push_back(k.info);
  return out;
}

void reset_conn_table() { g_conns.records.clear(); }
