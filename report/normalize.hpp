// Statement texts to their normalized form, as pg_stat_statements shows
// them: constants become $1, $2, ...  The parser is libpg_query's (the
// grammar of PostgreSQL 15); a text it cannot parse stands as itself.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class Normalizer
{
public:
	Normalizer();

	// The number of the normalized form of text: texts that differ only in
	// their constants, white space, comments and a final semicolon get the
	// same number, as pg_stat_statements folds them.  hash is the text's
	// hash, which the caller has at hand.
	uint32_t normalize(std::string_view text, uint64_t hash);

	// The normalized text first met of those that got this number.
	const std::string &text(uint32_t number) const
	{
		return texts_[number];
	}
	// Whether the parser could read it (else the text stands as itself).
	bool parsed(uint32_t number) const
	{
		return parsed_[number];
	}
	// Records whose text could not be parsed.
	long long failures() const
	{
		return failures_;
	}

private:
	uint32_t intern(std::string_view normalized, bool parsed);

	// A small direct-mapped cache of recent texts, so that a text that
	// comes again (a prepared statement, a repeated query) is parsed once
	// while it is in the cache.  Its size is fixed.
	struct Slot
	{
		uint64_t hash = 0;
		uint64_t length = UINT64_MAX;
		uint32_t number = 0;
	};
	std::vector<Slot> cache_;
	std::deque<std::string> texts_;
	std::deque<std::string> keys_; // the forms compared: see fold()
	std::vector<bool> parsed_;
	std::unordered_map<std::string_view, uint32_t> numbers_;
	long long failures_ = 0;
};

// A normalized text without what does not change the statement: runs of
// white space become one blank, comments go, as does a final semicolon;
// quoted identifiers and strings stay as they are.
std::string fold(std::string_view text);

// The hash the report uses for texts.
uint64_t text_hash(std::string_view text);
