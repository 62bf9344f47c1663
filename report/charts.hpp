// The page's charts as inline SVG: no script, no fonts or images from
// anywhere, readable in any browser and in a mail attachment.
#pragma once

#include "model.hpp"

#include <string>
#include <vector>

// The colour of the statement ranked rank (1-based) in the top statements;
// rank 0 (any other statement) is grey.
const char *statement_colour(int rank);

// The colour of a server (a source of a report that reads several).
const char *server_colour(size_t index);

// Statements and busy time per step across the trace; the failed ones
// marked in red.
std::string timeline_svg(const Timeline &timeline);

// One lane per session, a bar per statement, nested statements inside their
// caller, failed ones outlined in red; lanes of several servers in a group
// each.  short_texts[rank - 1] names the top statements in tooltips.
std::string lanes_svg(const Lanes &lanes, const Timeline &timeline,
                      const std::vector<std::string> &short_texts);

// The lower bound of histogram bin i, "3.2 ms".
std::string histogram_bin_bound(int bin);

// A statement's durations as a small histogram of bins first..last of
// Statement::histogram; with labels, a larger one with its axis.
std::string histogram_svg(const std::vector<long long> &bins, int first, int last, int rank,
                          bool labels);
