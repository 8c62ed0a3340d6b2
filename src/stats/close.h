// Close accounting: the first FIN measures and counts a connection, the answering
// FIN may give a round-trip estimate and removes it, an RST removes it at once.
#pragma once

#include <cstdint>

#include "track/segment.h"

void handle_close(const Segment& seg, bool reset, uint32_t payload_length);
