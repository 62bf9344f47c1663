// Numbers, durations and text as the report shows them.
#pragma once

#include <cstdint>
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
// Valid UTF-8 only (other bytes become U+FFFD), control characters kept:
// for JSON and CSV, which quote them their own way.
std::string printable_json(std::string_view text);
// ASCII letters in lower case.
std::string lower(std::string_view text);
// Without the blank lines (and trailing blanks) at its start and end: the
// bodies of SQL functions come with them.
std::string trim_blank_lines(std::string_view text);
// Whitespace runs folded into one blank, cut at max bytes (on a character
// boundary) with an ellipsis.
std::string one_line_text(std::string_view text, size_t max);
// Every line of text with a prefix before it.
std::string indent(std::string_view text, std::string_view prefix);

// A moment (Unix epoch microseconds) in the local time zone (the report
// sets TZ to the server session's TimeZone), with strftime's pattern;
// millis adds ".123" after the seconds, zone the zone's abbreviation.
std::string format_time(int64_t us, const char *pattern, bool millis, bool zone);
// The report's usual form: "2024-03-04 05:06:07.123 CET".
std::string timestamp_text(int64_t us);

// A CSV field: quoted when it holds a comma, quote or line end; valid UTF-8.
std::string csv_field(std::string_view text);
// 1536 -> "1.5 kB"
std::string human_bytes(long long bytes);
