// Quantile buckets, distinct counting and the variants' counters.
#include "sketch.hpp"

#include <algorithm>
#include <cmath>

namespace {

// Bucket i holds values in (gamma^(i-1), gamma^i]; a value is estimated by
// the middle of its bucket in relative terms, 2 gamma^i / (gamma + 1),
// which is within relative_error of every value the bucket holds.
const double gamma_ = (1 + QuantileSketch::relative_error) / (1 - QuantileSketch::relative_error);
const double log_gamma = std::log(gamma_);
// Values below a nanosecond count as zeros.
constexpr double smallest = 1e-6;

int bucket_of(double ms)
{
	return static_cast<int>(std::ceil(std::log(ms) / log_gamma));
}

double value_of(int bucket)
{
	return 2 * std::pow(gamma_, bucket) / (gamma_ + 1);
}

} // namespace

void QuantileSketch::add(double ms)
{
	if (!(ms >= 0))
		ms = 0;
	if (count_ == 0)
		min_ = max_ = ms;
	min_ = std::min(min_, ms);
	max_ = std::max(max_, ms);
	count_++;
	if (buckets_.empty() && zeros_ == 0 && exact_.size() < exact_limit)
	{
		exact_.push_back(ms);
		return;
	}
	if (!exact_.empty())
		to_buckets();
	add_to_bucket(ms, 1);
}

void QuantileSketch::to_buckets()
{
	std::vector<double> values;
	values.swap(exact_);
	for (double v : values)
		add_to_bucket(v, 1);
}

void QuantileSketch::add_to_bucket(double ms, long long n)
{
	if (ms < smallest)
	{
		zeros_ += n;
		return;
	}
	int b = bucket_of(ms);
	if (buckets_.empty())
	{
		offset_ = b;
		buckets_.assign(1, 0);
	}
	else if (b < offset_)
	{
		buckets_.insert(buckets_.begin(), static_cast<size_t>(offset_ - b), 0);
		offset_ = b;
	}
	else if (b >= offset_ + static_cast<int>(buckets_.size()))
		buckets_.resize(static_cast<size_t>(b - offset_ + 1), 0);
	buckets_[static_cast<size_t>(b - offset_)] += n;
}

double QuantileSketch::value_at_rank(long long rank) const
{
	// rank 0 is the smallest value, count_ - 1 the largest: exact both.
	if (rank <= 0)
		return min_;
	if (rank >= count_ - 1)
		return max_;
	long long seen = zeros_;
	if (rank < seen)
		return 0;
	for (size_t i = 0; i < buckets_.size(); i++)
	{
		seen += buckets_[i];
		if (rank < seen)
			return std::clamp(value_of(offset_ + static_cast<int>(i)), min_, max_);
	}
	return max_;
}

double QuantileSketch::quantile(double q) const
{
	if (count_ == 0)
		return 0;
	double at = q * static_cast<double>(count_ - 1);
	auto low = static_cast<long long>(std::floor(at));
	double fraction = at - static_cast<double>(low);
	if (!exact_.empty() || (buckets_.empty() && zeros_ == 0))
	{
		std::vector<double> sorted(exact_);
		std::sort(sorted.begin(), sorted.end());
		double a = sorted[static_cast<size_t>(low)];
		double b = sorted[std::min(static_cast<size_t>(low) + 1, sorted.size() - 1)];
		return a + fraction * (b - a);
	}
	double a = value_at_rank(low);
	double b = value_at_rank(low + 1);
	return a + fraction * (b - a);
}

void DistinctCounter::add(uint64_t hash)
{
	if (registers_.empty())
	{
		auto at = std::lower_bound(exact_.begin(), exact_.end(), hash);
		if (at != exact_.end() && *at == hash)
			return;
		if (exact_.size() < exact_limit)
		{
			exact_.insert(at, hash);
			return;
		}
		registers_.assign(size_t{1} << register_bits, 0);
		std::vector<uint64_t> values;
		values.swap(exact_);
		for (uint64_t v : values)
			add(v);
	}
	// Mix the bits first: the standard library's hash of short texts is
	// good, but this keeps the estimate independent of it.
	uint64_t x = hash + 0x9e3779b97f4a7c15ULL;
	x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
	x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
	x ^= x >> 31;
	size_t index = x >> (64 - register_bits);
	uint64_t rest = (x << register_bits) | (uint64_t{1} << (register_bits - 1));
	auto rank = static_cast<uint8_t>(__builtin_clzll(rest) + 1);
	registers_[index] = std::max(registers_[index], rank);
}

long long DistinctCounter::estimate() const
{
	if (registers_.empty())
		return static_cast<long long>(exact_.size());
	double m = static_cast<double>(registers_.size());
	double sum = 0;
	int zeros = 0;
	for (uint8_t r : registers_)
	{
		sum += std::ldexp(1.0, -r);
		zeros += r == 0;
	}
	double estimate = 0.7213 / (1 + 1.079 / m) * m * m / sum;
	if (estimate <= 2.5 * m && zeros > 0)
		estimate = m * std::log(m / zeros);
	return std::llround(estimate);
}

void VariantSummary::add(const std::string &text, uint64_t hash, double elapsed_ms)
{
	for (Variant &v : variants_)
	{
		if (v.hash == hash)
		{
			v.calls++;
			v.elapsed_ms += elapsed_ms;
			return;
		}
	}
	if (variants_.size() < counters)
	{
		variants_.push_back({text.substr(0, max_variant_text), hash, 1, 0, elapsed_ms});
		return;
	}
	// The counter with fewest calls takes the new text, keeping its count
	// as the possible error.
	auto least = std::min_element(variants_.begin(), variants_.end(),
	                              [](const Variant &a, const Variant &b) { return a.calls < b.calls; });
	replaced_ = true;
	least->text = text.substr(0, max_variant_text);
	least->hash = hash;
	least->error = least->calls;
	least->calls++;
	least->elapsed_ms = elapsed_ms;
}

std::vector<Variant> VariantSummary::top() const
{
	std::vector<Variant> sorted(variants_);
	std::stable_sort(sorted.begin(), sorted.end(), [](const Variant &a, const Variant &b) {
		return a.calls - a.error > b.calls - b.error;
	});
	return sorted;
}
