// Summaries of many values in bounded memory, one set per statement.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Quantiles of durations (ms).  Up to exact_limit values are kept as they
// are, and a quantile is then exact (percentile_cont); beyond that they are
// counted in logarithmic buckets whose width is 1% of their value, and a
// quantile is within 1% of the exact one.  A bucket array spans only the
// buckets between the smallest and the largest value seen.
class QuantileSketch
{
public:
	static constexpr size_t exact_limit = 128;
	static constexpr double relative_error = 0.01;

	void add(double ms);
	// The q-quantile (0..1) with percentile_cont's interpolation.
	double quantile(double q) const;
	long long count() const
	{
		return count_;
	}
	bool exact() const
	{
		return buckets_.empty() && count_ <= static_cast<long long>(exact_limit);
	}

private:
	void to_buckets();
	void add_to_bucket(double ms, long long n);
	double value_at_rank(long long rank) const;

	long long count_ = 0;
	std::vector<double> exact_;
	std::vector<long long> buckets_; // counts of buckets offset_ .. offset_ + size - 1
	int offset_ = 0;
	long long zeros_ = 0; // values of 0 (or below the smallest bucket)
	double min_ = 0;
	double max_ = 0;
};

// How many distinct values (texts, by their hash): exact up to a few
// thousand, then a HyperLogLog estimate (about 1.6% standard error).
class DistinctCounter
{
public:
	void add(uint64_t hash);
	long long estimate() const;
	bool exact() const
	{
		return registers_.empty();
	}

private:
	static constexpr size_t exact_limit = 2048;
	static constexpr int register_bits = 12;
	std::vector<uint64_t> exact_; // sorted
	std::vector<uint8_t> registers_;
};

// The most frequent distinct texts of a statement (its variants), by the
// Space-Saving method with a fixed number of counters: counts are exact
// while there were never more variants than counters, else each is at most
// overestimated by its error.
struct Variant
{
	std::string text; // cut at max_variant_text
	uint64_t hash = 0;
	long long calls = 0;
	long long error = 0; // calls that may belong to texts it replaced
	double elapsed_ms = 0;
};

class VariantSummary
{

public:
	static constexpr size_t counters = 12;
	static constexpr size_t max_variant_text = 2000;

	void add(const std::string &text, uint64_t hash, double elapsed_ms);
	// Most calls first.
	std::vector<Variant> top() const;
	bool exact() const
	{
		return !replaced_;
	}

private:
	std::vector<Variant> variants_;
	bool replaced_ = false;
};
