// Normalizing with libpg_query.
#include "normalize.hpp"

#include "errors.hpp"

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

} // namespace

uint64_t text_hash(std::string_view text)
{
	return std::hash<std::string_view>{}(text);
}

Normalizer::Normalizer() : cache_(cache_slots)
{
}

uint32_t Normalizer::intern(std::string_view normalized, bool parsed)
{
	auto found = numbers_.find(normalized);
	if (found != numbers_.end())
		return found->second;
	auto number = static_cast<uint32_t>(texts_.size());
	texts_.emplace_back(normalized);
	parsed_.push_back(parsed);
	numbers_.emplace(std::string_view(texts_.back()), number);
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
