// Bucket layout: where the regular buckets of the byte orderings start and how many
// fit under the byte limits, and the edges of each bucket as the report labels it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/settings.h"

// The byte orderings start their first bucket at the -y/-Y minimum and may need
// fewer buckets below the -x/-X maximum: sets `bucket_base` and may lower
// `nbuckets`. All divisions are unsigned 64-bit with the bucket size widened with
// its sign. A bucket size of 0 (write mode, where it is not defaulted and nothing is
// bucketed) leaves both as they are.
void derive_byte_layout(Settings& s);

// The -D range's upper edge: the range is one bucket wide, unless it starts at or
// beyond the regular buckets (signed 32-bit product and comparison), where it is
// open upwards (-1). Computed before derive_byte_layout may lower nbuckets.
int derive_filter_to(const Settings& s);

// Bucket i's edges in the ordering's unit: the index sums are 32-bit, the products
// signed 64-bit, as the report has always printed them.
struct BucketEdges {
  long long lo;
  long long hi;  // the next bucket's lo; not shown for the overflow bucket
};
BucketEdges bucket_edges(const Settings& s, size_t i);
