// A small JSON reader for the plans of JSON traces, and the quoting of
// strings for the report's own JSON output.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class JsonValue
{
public:
	enum class Kind
	{
		null,
		boolean,
		number,
		string,
		array,
		object
	};

	Kind kind = Kind::null;
	bool boolean = false;
	double number = 0;
	std::string text; // strings; numbers as written
	std::vector<JsonValue> items;
	std::vector<std::pair<std::string, JsonValue>> members;

	// The member of an object, or nullptr.
	const JsonValue *get(std::string_view key) const;
	// A member's value as text (strings as they are, numbers as written),
	// empty when missing or another kind.
	std::string string(std::string_view key) const;
	// A member's value as a number: numbers, and strings that hold one.
	double num(std::string_view key, double otherwise = 0) const;
	bool has(std::string_view key) const
	{
		return get(key) != nullptr;
	}
};

// Parses a whole document; false (and value untouched) when it is not JSON.
// Nesting deeper than max_json_depth is refused.
bool parse_json(std::string_view text, JsonValue &value);
constexpr int max_json_depth = 400;

// Reads the numeric members of the object under a top-level key (the
// top plan node's "Shared Hit Blocks" ...) without building the document:
// the values of the wanted keys in order, NaN where missing.  False when
// the text is not a JSON object holding that key's object.
bool json_object_numbers(std::string_view text, std::string_view key,
                         const std::vector<std::string_view> &wanted, std::vector<double> &values);

// A JSON string literal for text, with the quotes; bytes that are not
// valid UTF-8 become U+FFFD.
std::string json_quote(std::string_view text);
