// The timeline: how many statements ended and how busy the sessions were,
// step by step across the trace.  Busy time is each top-level statement's
// elapsed time, from its start to its end, spread over the steps it
// covers; nested statements are inside their caller's time.
#include "summary.hpp"

#include "format.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace {

// Round steps, in seconds; the timeline takes the smallest that gives at
// most max_timeline_steps steps.
const double step_choices[] = {0.1,  0.2,   0.5,   1,     2,     5,      10,     15,
                               30,   60,    120,   300,   600,   900,    1800,   3600,
                               7200, 10800, 21600, 43200, 86400, 172800, 604800, 2592000};

const char *label_pattern(double seconds, double span, bool &millis)
{
	millis = false;
	if (span > 2 * 86400)
		return "%m-%d %H:%M";
	if (seconds < 1)
	{
		millis = true;
		return "%H:%M:%S";
	}
	return seconds >= 60 ? "%H:%M" : "%H:%M:%S";
}

int64_t floor_div(int64_t a, int64_t b)
{
	return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

int64_t ceil_div(int64_t a, int64_t b)
{
	return -floor_div(-a, b);
}

// Calls f(statement) for every top-level statement that counts, of one
// source or (-1) of all.
template <typename F>
void each_top_level(const Aggregator &aggregator, int source, F f)
{
	for (const auto &entry : aggregator.sessions())
	{
		if (source >= 0 && entry.second.source != source)
			continue;
		for (const OpenStatement &o : entry.second.open)
		{
			if (o.counted && o.end_us > o.start_us)
				f(o);
		}
	}
}

// Statements ended per unit, of one source or (-1) of all: each source's
// counts, in its own unit.
std::vector<const UnitCounts *> ended_counts(const Aggregator &aggregator, int source)
{
	std::vector<const UnitCounts *> out;
	for (size_t i = 0; i < aggregator.source_count(); i++)
	{
		if (source < 0 || static_cast<int>(i) == source)
			out.push_back(&aggregator.source(i).ended);
	}
	return out;
}

// About six labelled ticks on round times.
void make_ticks(Timeline &timeline)
{
	double span = timeline.step_s * static_cast<double>(timeline.steps.size());
	double spacing = step_choices[sizeof step_choices / sizeof step_choices[0] - 1];
	for (double s : step_choices)
	{
		if (span / s <= 7)
		{
			spacing = s;
			break;
		}
	}
	bool millis;
	const char *pattern = label_pattern(spacing, span, millis);
	for (double k = std::ceil(timeline.start_s / spacing - 1e-9);
	     k * spacing <= timeline.start_s + span + 1e-9; k += 1)
	{
		double at = k * spacing;
		timeline.ticks.push_back(
		    {at, format_time(std::llround(at * 1e6), pattern, millis, false)});
	}
}

} // namespace

Timeline build_timeline(const Aggregator &aggregator, Overview &overview, int source)
{
	Timeline timeline;
	if (overview.statements == 0)
		return timeline;
	std::vector<const UnitCounts *> ended = ended_counts(aggregator, source);
	if (source < 0)
		ended.push_back(&aggregator.failed_ended());
	long long per_second = overview.last_s - overview.first_s < 120 ? 10 : 1;
	int64_t unit = 1000000 / per_second;
	for (const UnitCounts *e : ended)
		unit = std::max(unit, e->unit_us());
	if (source < 0)
		ended.pop_back();

	// The units in use: where statements ended, and those busy time covers.
	int64_t first = INT64_MAX;
	int64_t last = INT64_MIN;
	for (const UnitCounts *e : ended)
	{
		for (const auto &c : e->counts())
		{
			int64_t u = floor_div(c.first * e->unit_us(), unit);
			first = std::min(first, u);
			last = std::max(last, u);
		}
	}
	each_top_level(aggregator, source, [&](const OpenStatement &o) {
		first = std::min(first, floor_div(o.start_us, unit));
		last = std::max(last, ceil_div(o.end_us, unit) - 1);
	});

	long long units = 0; // per step
	for (double s : step_choices)
	{
		auto step_us = static_cast<int64_t>(std::llround(s * 1e6));
		if (step_us % unit == 0 && (last - first + step_us / unit) / (step_us / unit) <= max_timeline_steps)
		{
			units = step_us / unit;
			break;
		}
	}
	if (units == 0)
		units = (last - first + max_timeline_steps) / max_timeline_steps;
	int64_t start = floor_div(first, units) * units;
	int64_t count = (last - start) / units + 1;
	int64_t step_us = units * unit;
	int64_t start_us = start * unit;
	timeline.step_s = static_cast<double>(step_us) / 1e6;
	timeline.start_s = static_cast<double>(start_us) / 1e6;
	timeline.steps.assign(static_cast<size_t>(count), TimelineStep{});

	auto per_step = [&](const UnitCounts &counts, long long TimelineStep::*field) {
		for (const auto &c : counts.counts())
		{
			int64_t index = floor_div(c.first * counts.unit_us() - start_us, step_us);
			if (index >= 0 && index < count)
				timeline.steps[static_cast<size_t>(index)].*field += c.second;
		}
	};
	for (const UnitCounts *e : ended)
		per_step(*e, &TimelineStep::statements);
	if (source < 0)
		per_step(aggregator.failed_ended(), &TimelineStep::failed);
	// Busy time per step, and per second for the busiest second.
	std::unordered_map<int64_t, double> busy_seconds;
	each_top_level(aggregator, source, [&](const OpenStatement &o) {
		for (int64_t i = std::max<int64_t>(floor_div(o.start_us - start_us, step_us), 0);
		     i < count && start_us + i * step_us < o.end_us; i++)
		{
			int64_t lo = std::max(o.start_us, start_us + i * step_us);
			int64_t hi = std::min(o.end_us, start_us + (i + 1) * step_us);
			if (hi > lo)
				timeline.steps[static_cast<size_t>(i)].busy_ms += static_cast<double>(hi - lo) / 1000.0;
		}
		for (int64_t sec = floor_div(o.start_us, 1000000); sec * 1000000 < o.end_us; sec++)
		{
			int64_t lo = std::max(o.start_us, sec * 1000000);
			int64_t hi = std::min(o.end_us, (sec + 1) * 1000000);
			busy_seconds[sec] += static_cast<double>(hi - lo) / 1000.0;
		}
	});
	bool millis;
	const char *pattern =
	    label_pattern(timeline.step_s, timeline.step_s * static_cast<double>(count), millis);
	for (int64_t i = 0; i < count; i++)
		timeline.steps[static_cast<size_t>(i)].label =
		    format_time(start_us + i * step_us, pattern, millis, false);

	// The busiest second: most busy time, then most statements ended, then
	// the earliest.  Statements per second are known while the counts are
	// kept per second or finer.
	std::unordered_map<int64_t, long long> ended_seconds;
	bool per_second_known = true;
	for (const UnitCounts *e : ended)
		per_second_known = per_second_known && e->unit_us() <= 1000000;
	if (per_second_known)
		for (const UnitCounts *e : ended)
			for (const auto &c : e->counts())
				ended_seconds[floor_div(c.first * e->unit_us(), 1000000)] += c.second;
	bool found = false;
	int64_t best = 0;
	auto better = [&](int64_t sec, double busy, long long n) {
		if (!found || busy > overview.busiest_busy_ms ||
		    (busy == overview.busiest_busy_ms &&
		     (n > overview.busiest_statements || (n == overview.busiest_statements && sec < best))))
		{
			found = true;
			best = sec;
			overview.busiest_busy_ms = busy;
			overview.busiest_statements = n;
		}
	};
	for (const auto &b : busy_seconds)
	{
		auto n = ended_seconds.find(b.first);
		better(b.first, b.second, n == ended_seconds.end() ? 0 : n->second);
	}
	for (const auto &n : ended_seconds)
	{
		if (busy_seconds.count(n.first) == 0)
			better(n.first, 0, n.second);
	}
	if (found)
		overview.busiest_second = format_time(best * 1000000, "%Y-%m-%d %H:%M:%S", false, true);
	make_ticks(timeline);
	return timeline;
}
