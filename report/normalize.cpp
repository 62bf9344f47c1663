// Normalizing with libpg_query.
#include "normalize.hpp"

#include "errors.hpp"

#include <algorithm>
#include <functional>
#include <pg_query.h>

namespace {

constexpr size_t cache_slots = 1 << 14;

// libpg_query's result is freed on every path out.
class NormalizeResult
{
public:
	explicit NormalizeResult(const std::string &text) : result_(pg_query_normalize(text.c_str()))
	{
	}
	~NormalizeResult()
	{
		pg_query_free_normalize_result(result_);
	}
	NormalizeResult(const NormalizeResult &) = delete;
	NormalizeResult &operator=(const NormalizeResult &) = delete;
	const PgQueryNormalizeResult &operator*() const
	{
		return result_;
	}

private:
	PgQueryNormalizeResult result_;
};

// 'SQL function "name" statement N', as the capture names the statements
// of SQL-standard function bodies, which keep no text.
bool is_atomic_body_label(std::string_view text)
{
	const std::string_view head = "SQL function \"";
	if (text.substr(0, head.size()) != head)
		return false;
	size_t quote = text.rfind("\" statement ");
	if (quote == std::string_view::npos || quote < head.size())
		return false;
	std::string_view number = text.substr(quote + 12);
	return !number.empty() && number.find_first_not_of("0123456789") == std::string_view::npos;
}

} // namespace

uint64_t text_hash(std::string_view text)
{
	return std::hash<std::string_view>{}(text);
}

Normalizer::Normalizer() : cache_(cache_slots)
{
}

std::string fold(std::string_view text)
{
	std::string out;
	out.reserve(text.size());
	bool blank = false;
	size_t i = 0;
	auto space = [&] { blank = !out.empty(); };
	while (i < text.size())
	{
		char c = text[i];
		if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f' || c == '\v')
		{
			space();
			i++;
			continue;
		}
		if (c == '-' && i + 1 < text.size() && text[i + 1] == '-')
		{
			while (i < text.size() && text[i] != '\n')
				i++;
			space();
			continue;
		}
		if (c == '/' && i + 1 < text.size() && text[i + 1] == '*')
		{
			int depth = 0;
			while (i < text.size())
			{
				if (text.compare(i, 2, "/*") == 0)
				{
					depth++;
					i += 2;
				}
				else if (text.compare(i, 2, "*/") == 0)
				{
					i += 2;
					if (--depth == 0)
						break;
				}
				else
					i++;
			}
			space();
			continue;
		}
		if (blank)
			out += ' ';
		blank = false;
		if (c == '"' || c == '\'')
		{
			// Up to the closing quote; a doubled quote stays inside.
			size_t end = i + 1;
			while (end < text.size())
			{
				if (text[end] == c && (end + 1 >= text.size() || text[end + 1] != c))
					break;
				end += text[end] == c ? 2 : 1;
			}
			end = std::min(end + 1, text.size());
			out.append(text.substr(i, end - i));
			i = end;
			continue;
		}
		out += c;
		i++;
	}
	while (!out.empty() && (out.back() == ';' || out.back() == ' '))
		out.pop_back();
	return out;
}

uint32_t Normalizer::intern(std::string_view normalized, bool parsed)
{
	std::string key = fold(normalized);
	auto found = numbers_.find(key);
	if (found != numbers_.end())
		return found->second;
	auto number = static_cast<uint32_t>(texts_.size());
	texts_.emplace_back(normalized);
	keys_.push_back(std::move(key));
	parsed_.push_back(parsed);
	numbers_.emplace(std::string_view(keys_.back()), number);
	return number;
}

uint32_t Normalizer::normalize(std::string_view text, uint64_t hash)
{
	Slot &slot = cache_[hash & (cache_slots - 1)];
	if (slot.hash == hash && slot.length == text.size())
	{
		if (!parsed_[slot.number])
			failures_++;
		return slot.number;
	}
	// The parser reads a NUL-terminated text: one with a NUL inside is not
	// a statement the server could have run.
	uint32_t number;
	std::string input(text);
	if (input.find('\0') != std::string::npos)
	{
		number = intern(text, false);
	}
	else if (is_atomic_body_label(text))
	{
		// A statement of a BEGIN ATOMIC body is recorded by its place
		// ("SQL function "f" statement 2"), which has no constants.
		number = intern(text, true);
	}
	else
	{
		NormalizeResult result(input);
		if ((*result).error == nullptr && (*result).normalized_query != nullptr)
			number = intern((*result).normalized_query, true);
		else
			number = intern(text, false);
	}
	if (!parsed_[number])
		failures_++;
	slot.hash = hash;
	slot.length = text.size();
	slot.number = number;
	return number;
}
