// JSON reading and quoting.
#include "json.hpp"

#include "format.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

class Reader
{
public:
	explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size())
	{
	}

	bool document(JsonValue &value)
	{
		return read(value, 0) && (skip_space(), p_ == end_);
	}

	// Skips one value without keeping it.
	bool skip(int depth)
	{
		skip_space();
		if (p_ == end_ || depth > max_json_depth)
			return false;
		switch (*p_)
		{
			case '{':
			case '[':
			{
				char close = *p_ == '{' ? '}' : ']';
				bool object = *p_ == '{';
				p_++;
				skip_space();
				if (p_ < end_ && *p_ == close)
				{
					p_++;
					return true;
				}
				for (;;)
				{
					if (object)
					{
						std::string key;
						skip_space();
						if (!member_name(key))
							return false;
					}
					if (!skip(depth + 1))
						return false;
					skip_space();
					if (p_ == end_)
						return false;
					if (*p_ == ',')
					{
						p_++;
						continue;
					}
					if (*p_++ != close)
						return false;
					return true;
				}
			}
			case '"':
			{
				std::string ignored;
				return string(ignored);
			}
			default:
			{
				JsonValue ignored;
				return scalar(ignored);
			}
		}
	}

	// Inside the object that begins at p_: finds key and reads the numbers
	// of the object it holds.
	bool object_numbers(std::string_view key, const std::vector<std::string_view> &wanted,
	                    std::vector<double> &values)
	{
		skip_space();
		if (p_ == end_ || *p_++ != '{')
			return false;
		std::string name;
		for (;;)
		{
			skip_space();
			if (p_ < end_ && *p_ == '}')
				return false;
			if (!member_name(name))
				return false;
			if (name == key)
				break;
			if (!skip(1))
				return false;
			skip_space();
			if (p_ == end_ || *p_ != ',')
				return false;
			p_++;
		}
		skip_space();
		if (p_ == end_ || *p_++ != '{')
			return false;
		values.assign(wanted.size(), std::nan(""));
		for (;;)
		{
			skip_space();
			if (p_ < end_ && *p_ == '}')
				return true;
			if (!member_name(name))
				return false;
			size_t i = 0;
			while (i < wanted.size() && wanted[i] != name)
				i++;
			if (i < wanted.size())
			{
				JsonValue v;
				skip_space();
				if (!read(v, 2))
					return false;
				if (v.kind == JsonValue::Kind::number)
					values[i] = v.number;
			}
			else if (!skip(2))
				return false;
			skip_space();
			if (p_ == end_)
				return false;
			if (*p_ == ',')
			{
				p_++;
				continue;
			}
			return *p_ == '}';
		}
	}

private:
	// A member's name and the colon after it.
	bool member_name(std::string &name)
	{
		if (!string(name))
			return false;
		skip_space();
		return p_ < end_ && *p_++ == ':';
	}

	void skip_space()
	{
		while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
			p_++;
	}

	static void put_utf8(std::string &out, unsigned code)
	{
		if (code < 0x80)
			out += static_cast<char>(code);
		else if (code < 0x800)
		{
			out += static_cast<char>(0xC0 | (code >> 6));
			out += static_cast<char>(0x80 | (code & 0x3F));
		}
		else if (code < 0x10000)
		{
			out += static_cast<char>(0xE0 | (code >> 12));
			out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
			out += static_cast<char>(0x80 | (code & 0x3F));
		}
		else
		{
			out += static_cast<char>(0xF0 | (code >> 18));
			out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
			out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
			out += static_cast<char>(0x80 | (code & 0x3F));
		}
	}

	bool hex4(unsigned &code)
	{
		if (end_ - p_ < 4)
			return false;
		code = 0;
		for (int i = 0; i < 4; i++)
		{
			char c = *p_++;
			code <<= 4;
			if (c >= '0' && c <= '9')
				code |= static_cast<unsigned>(c - '0');
			else if (c >= 'a' && c <= 'f')
				code |= static_cast<unsigned>(c - 'a' + 10);
			else if (c >= 'A' && c <= 'F')
				code |= static_cast<unsigned>(c - 'A' + 10);
			else
				return false;
		}
		return true;
	}

	bool string(std::string &out)
	{
		out.clear();
		if (p_ == end_ || *p_ != '"')
			return false;
		p_++;
		while (p_ < end_)
		{
			const char *stop = p_;
			while (stop < end_ && *stop != '"' && *stop != '\\')
				stop++;
			out.append(p_, stop);
			p_ = stop;
			if (p_ == end_)
				return false;
			if (*p_ == '"')
			{
				p_++;
				return true;
			}
			p_++;
			if (p_ == end_)
				return false;
			char e = *p_++;
			switch (e)
			{
				case 'n':
					out += '\n';
					break;
				case 't':
					out += '\t';
					break;
				case 'r':
					out += '\r';
					break;
				case 'b':
					out += '\b';
					break;
				case 'f':
					out += '\f';
					break;
				case 'u':
				{
					unsigned code;
					if (!hex4(code))
						return false;
					if (code >= 0xD800 && code < 0xDC00 && end_ - p_ >= 6 && p_[0] == '\\' &&
					    p_[1] == 'u')
					{
						p_ += 2;
						unsigned low;
						if (!hex4(low))
							return false;
						code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
					}
					put_utf8(out, code);
					break;
				}
				default:
					out += e;
			}
		}
		return false;
	}

	bool scalar(JsonValue &value)
	{
		auto word = [this](const char *w) {
			size_t n = std::strlen(w);
			if (static_cast<size_t>(end_ - p_) >= n && std::memcmp(p_, w, n) == 0)
			{
				p_ += n;
				return true;
			}
			return false;
		};
		if (word("true"))
		{
			value.kind = JsonValue::Kind::boolean;
			value.boolean = true;
			return true;
		}
		if (word("false"))
		{
			value.kind = JsonValue::Kind::boolean;
			return true;
		}
		if (word("null"))
			return true;
		const char *start = p_;
		while (p_ < end_ && (std::strchr("+-.eE", *p_) != nullptr || (*p_ >= '0' && *p_ <= '9')))
			p_++;
		if (p_ == start)
			return false;
		value.kind = JsonValue::Kind::number;
		value.text.assign(start, p_);
		char *stop = nullptr;
		value.number = std::strtod(value.text.c_str(), &stop);
		return stop != nullptr && *stop == '\0';
	}

	bool read(JsonValue &value, int depth)
	{
		skip_space();
		if (p_ == end_ || depth > max_json_depth)
			return false;
		if (*p_ == '"')
		{
			value.kind = JsonValue::Kind::string;
			return string(value.text);
		}
		if (*p_ != '{' && *p_ != '[')
			return scalar(value);
		bool object = *p_ == '{';
		char close = object ? '}' : ']';
		value.kind = object ? JsonValue::Kind::object : JsonValue::Kind::array;
		p_++;
		skip_space();
		if (p_ < end_ && *p_ == close)
		{
			p_++;
			return true;
		}
		for (;;)
		{
			skip_space();
			if (object)
			{
				value.members.emplace_back();
				if (!member_name(value.members.back().first))
					return false;
				if (!read(value.members.back().second, depth + 1))
					return false;
			}
			else
			{
				value.items.emplace_back();
				if (!read(value.items.back(), depth + 1))
					return false;
			}
			skip_space();
			if (p_ == end_)
				return false;
			if (*p_ == ',')
			{
				p_++;
				continue;
			}
			return *p_++ == close;
		}
	}

	const char *p_;
	const char *end_;
};

} // namespace

const JsonValue *JsonValue::get(std::string_view key) const
{
	for (const auto &member : members)
	{
		if (member.first == key)
			return &member.second;
	}
	return nullptr;
}

std::string JsonValue::string(std::string_view key) const
{
	const JsonValue *v = get(key);
	if (v == nullptr || (v->kind != Kind::string && v->kind != Kind::number))
		return "";
	return v->text;
}

double JsonValue::num(std::string_view key, double otherwise) const
{
	const JsonValue *v = get(key);
	if (v == nullptr)
		return otherwise;
	if (v->kind == Kind::number)
		return v->number;
	if (v->kind == Kind::string)
	{
		char *end = nullptr;
		double d = std::strtod(v->text.c_str(), &end);
		if (end != v->text.c_str())
			return d;
	}
	return otherwise;
}

bool parse_json(std::string_view text, JsonValue &value)
{
	JsonValue parsed;
	Reader reader(text);
	if (!reader.document(parsed))
		return false;
	value = std::move(parsed);
	return true;
}

bool json_object_numbers(std::string_view text, std::string_view key,
                         const std::vector<std::string_view> &wanted, std::vector<double> &values)
{
	Reader reader(text);
	return reader.object_numbers(key, wanted, values);
}

std::string json_quote(std::string_view text)
{
	std::string clean = printable_json(text);
	std::string out = "\"";
	out.reserve(clean.size() + 2);
	for (char c : clean)
	{
		switch (c)
		{
			case '"':
				out += "\\\"";
				break;
			case '\\':
				out += "\\\\";
				break;
			case '\n':
				out += "\\n";
				break;
			case '\r':
				out += "\\r";
				break;
			case '\t':
				out += "\\t";
				break;
			default:
				if (static_cast<unsigned char>(c) < 0x20)
				{
					char buffer[8];
					std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
					out += buffer;
				}
				else
					out += c;
		}
	}
	return out + "\"";
}
