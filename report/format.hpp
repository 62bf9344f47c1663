// Numbers, durations and text as the report shows them.
#pragma once

#include <string>
#include <string_view>

// 1234567 -> "1,234,567".
std::string with_separators(long long value);
// A fixed number of decimals: fixed(2.5, 3) -> "2.500".
std::string fixed(double value, int decimals);
// A duration given in ms, in the unit that reads best: "850 µs", "12.3 ms",
// "4.56 s", "3 min 12 s".
std::string human_ms(double ms);
// A share in percent with one decimal: "12.3%".
std::string percent(double part, double whole);
// Text for HTML content and attribute values: escapes & < > " ', turns bytes
// that are not valid UTF-8 and control characters (other than tab and line
// feed) into U+FFFD, so that the page always parses.
std::string html_escape(std::string_view text);
// The same cleaning for the text summary, without the escaping.
std::string printable(std::string_view text);
// Every line of text with a prefix before it.
std::string indent(std::string_view text, std::string_view prefix);
