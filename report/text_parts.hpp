// Pieces of the text format that the report and the comparison share.
#pragma once

#include "html_parts.hpp"
#include "model.hpp"
#include "output_file.hpp"

#include <string>
#include <string_view>
#include <vector>

// Width in characters (UTF-8 continuation bytes do not count).
size_t width_of(std::string_view s);
std::string pad(const std::string &s, size_t width);
std::string lpad(const std::string &s, size_t width);
// The first max characters.
std::string cut(const std::string &s, size_t max);
// Each line of text after prefix, broken at blanks so that no line is wider
// than width; continuation lines get blanks in place of the prefix.
std::string wrap(std::string_view text, const std::string &prefix, size_t width);

// A plan, its node lines with their share of the time; changes (one per
// node), when given, add each node's change, "^" before those that grew
// most.
void write_plan_text(const Plan &plan, OutputFile &out, size_t width,
                     const std::vector<NodeChange> *changes = nullptr);
