// Formatting helpers.
#include "format.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

const char *const replacement = "\xEF\xBF\xBD"; // U+FFFD

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
size_t utf8_length(std::string_view text, size_t i)
{
	unsigned char c = static_cast<unsigned char>(text[i]);
	size_t n;
	unsigned min;
	unsigned code;
	if (c < 0x80)
		return 1;
	if ((c & 0xE0) == 0xC0)
		n = 2, min = 0x80, code = c & 0x1F;
	else if ((c & 0xF0) == 0xE0)
		n = 3, min = 0x800, code = c & 0x0F;
	else if ((c & 0xF8) == 0xF0)
		n = 4, min = 0x10000, code = c & 0x07;
	else
		return 0;
	if (i + n > text.size())
		return 0;
	for (size_t k = 1; k < n; k++)
	{
		unsigned char next = static_cast<unsigned char>(text[i + k]);
		if ((next & 0xC0) != 0x80)
			return 0;
		code = (code << 6) | (next & 0x3F);
	}
	if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE ||
	    code == 0xFFFF)
		return 0;
	return n;
}

std::string clean(std::string_view text, bool escape, bool controls = false)
{
	std::string out;
	out.reserve(text.size() + text.size() / 8);
	for (size_t i = 0; i < text.size();)
	{
		unsigned char c = static_cast<unsigned char>(text[i]);
		size_t n = utf8_length(text, i);
		if (n == 0 || (!controls && ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F)))
		{
			// A carriage return before a line feed is just a line end.
			if (!(c == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
				out += replacement;
			i++;
			continue;
		}
		if (escape && n == 1)
		{
			switch (c)
			{
				case '&':
					out += "&amp;";
					break;
				case '<':
					out += "&lt;";
					break;
				case '>':
					out += "&gt;";
					break;
				case '"':
					out += "&quot;";
					break;
				case '\'':
					out += "&#39;";
					break;
				default:
					out += static_cast<char>(c);
			}
		}
		else
			out.append(text.substr(i, n));
		i += n;
	}
	return out;
}

} // namespace

std::string with_separators(long long value)
{
	std::string digits = std::to_string(value < 0 ? -value : value);
	std::string out;
	int count = 0;
	for (auto it = digits.rbegin(); it != digits.rend(); ++it)
	{
		if (count > 0 && count % 3 == 0)
			out.insert(out.begin(), ',');
		out.insert(out.begin(), *it);
		count++;
	}
	return value < 0 ? "-" + out : out;
}

std::string fixed(double value, int decimals)
{
	char buffer[64];
	std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
	return buffer;
}

std::string human_ms(double ms)
{
	char buffer[64];
	if (ms < 1.0)
		std::snprintf(buffer, sizeof buffer, "%.0f \xC2\xB5s", ms * 1000.0);
	else if (ms < 10.0)
		std::snprintf(buffer, sizeof buffer, "%.2f ms", ms);
	else if (ms < 1000.0)
		std::snprintf(buffer, sizeof buffer, "%.1f ms", ms);
	else if (ms < 10000.0)
		std::snprintf(buffer, sizeof buffer, "%.2f s", ms / 1000.0);
	else if (ms < 60000.0)
		std::snprintf(buffer, sizeof buffer, "%.1f s", ms / 1000.0);
	else if (ms < 3600000.0)
		std::snprintf(buffer, sizeof buffer, "%d min %d s", static_cast<int>(ms / 60000.0),
		              static_cast<int>(std::fmod(ms / 1000.0, 60.0)));
	else
		std::snprintf(buffer, sizeof buffer, "%d h %d min", static_cast<int>(ms / 3600000.0),
		              static_cast<int>(std::fmod(ms / 60000.0, 60.0)));
	return buffer;
}

std::string percent(double part, double whole)
{
	if (whole <= 0)
		return "-";
	return fixed(100.0 * part / whole, 1) + "%";
}

std::string html_escape(std::string_view text)
{
	return clean(text, true);
}

std::string printable(std::string_view text)
{
	return clean(text, false);
}

std::string indent(std::string_view text, std::string_view prefix)
{
	std::string out;
	size_t start = 0;
	while (start <= text.size())
	{
		size_t end = text.find('\n', start);
		std::string_view line = text.substr(
		    start, end == std::string_view::npos ? std::string_view::npos : end - start);
		out.append(prefix);
		out.append(line);
		out += '\n';
		if (end == std::string_view::npos)
			break;
		start = end + 1;
	}
	return out;
}

std::string printable_json(std::string_view text)
{
	return clean(text, false, true);
}

std::string lower(std::string_view text)
{
	std::string out(text);
	for (char &c : out)
	{
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
	}
	return out;
}

std::string trim_blank_lines(std::string_view text)
{
	size_t start = 0;
	for (;;)
	{
		size_t end = text.find('\n', start);
		if (end == std::string_view::npos ||
		    text.substr(start, end - start).find_first_not_of(" \t\r") != std::string_view::npos)
			break;
		start = end + 1;
	}
	text.remove_prefix(start);
	size_t last = text.find_last_not_of(" \t\r\n");
	return std::string(last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1));
}

std::string one_line_text(std::string_view text, size_t max)
{
	std::string out;
	bool space = false;
	for (char c : text)
	{
		if (c == ' ' || c == '\n' || c == '\t' || c == '\r')
		{
			space = !out.empty();
			continue;
		}
		if (space)
			out += ' ';
		space = false;
		out += c;
		if (out.size() > max + 4)
			break;
	}
	if (out.size() <= max)
		return out;
	size_t cut = max;
	while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
		cut--;
	return out.substr(0, cut) + "\xE2\x80\xA6";
}

std::string format_time(int64_t us, const char *pattern, bool millis, bool zone)
{
	int64_t seconds = us / 1000000 - (us % 1000000 < 0 ? 1 : 0);
	int64_t micros = us - seconds * 1000000;
	time_t t = static_cast<time_t>(seconds);
	struct tm local;
	if (localtime_r(&t, &local) == nullptr)
		return "?";
	char buffer[128];
	size_t n = std::strftime(buffer, sizeof buffer, pattern, &local);
	std::string out(buffer, n);
	if (millis)
	{
		char ms[8];
		std::snprintf(ms, sizeof ms, ".%03d", static_cast<int>(micros / 1000));
		out += ms;
	}
	if (zone)
	{
		n = std::strftime(buffer, sizeof buffer, " %Z", &local);
		out.append(buffer, n);
	}
	return out;
}

std::string timestamp_text(int64_t us)
{
	return format_time(us, "%Y-%m-%d %H:%M:%S", true, true);
}

std::string csv_field(std::string_view text)
{
	std::string clean = printable_json(text);
	if (clean.find_first_of(",\"\r\n") == std::string::npos)
		return clean;
	std::string out = "\"";
	for (char c : clean)
	{
		if (c == '"')
			out += '"';
		out += c;
	}
	return out + "\"";
}

std::string human_bytes(long long bytes)
{
	const char *units[] = {"B", "kB", "MB", "GB", "TB"};
	double v = static_cast<double>(bytes);
	int u = 0;
	while (v >= 1024 && u < 4)
	{
		v /= 1024;
		u++;
	}
	return (u == 0 ? std::to_string(bytes) : fixed(v, v < 10 ? 1 : 0)) + " " + units[u];
}
