// --html: the report as one self-contained page to look at and hand on. Inline CSS
// and SVG drawn here, no script and nothing fetched (its Content-Security-Policy
// forbids both), light and dark, printable. Every figure it shows is one the
// summary or the JSON report gives; every bar and point carries its exact figure in
// a <title>. Its size is bounded whatever the run's scale: aggregates and top lists
// only, a timeline of bounded length, the details of the busiest ports.
#pragma once

#include <string>

#include "stats/run.h"

// Ports beyond this many get a row of the overview, not a section of their own.
constexpr size_t HTML_DETAILED_PORTS = 4;

// The whole page, after the run has ended and the records still open have left.
std::string html_page(const Run& run);

// Writes the page to `path` (replacing it); false, with errno set, when it could
// not be written whole.
bool write_html_page(const Run& run, const std::string& path);
