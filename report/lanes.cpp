// The sessions' lanes of the timeline: every statement as a bar in the lane
// of its process, statements run by another statement (function bodies)
// drawn inside their caller.
//
// Nesting comes from time containment within one process.  A caller starts
// before the statements it runs and ends after them, so its interval
// [start, end] contains theirs.  Records that carry the top-level
// statement's start time for nested statements too make every later sibling
// look like a container of an earlier one; a container with exactly the
// same start is therefore taken only when no container starts earlier, and
// then the outermost one (the top-level statement): such traces show one
// level of nesting, drawn where each nested statement ran (its end minus its
// execution time).  Records with their own start times show every level.
#include "summary.hpp"

#include "format.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

namespace {

struct Open
{
	double lo; // as recorded
	double hi;
	double draw_lo; // as drawn
	int depth;
};

void nest_lane(std::vector<BarCandidate> &records, const std::vector<int> &ranks, Lane &lane)
{
	// Sorted by start, then longest first: callers before the statements
	// they ran.
	std::sort(records.begin(), records.end(), [](const BarCandidate &a, const BarCandidate &b) {
		return a.start_us != b.start_us ? a.start_us < b.start_us : a.end_us > b.end_us;
	});
	std::vector<Open> stack;
	for (const BarCandidate &r : records)
	{
		double lo = static_cast<double>(r.start_us) / 1e6;
		double hi = static_cast<double>(r.end_us) / 1e6;
		while (!stack.empty() && stack.back().hi < hi)
			stack.pop_back();
		const Open *parent = nullptr;
		for (auto it = stack.rbegin(); it != stack.rend(); ++it)
		{
			if (it->lo < lo)
			{
				parent = &*it;
				break;
			}
		}
		bool shared_start = false;
		if (parent == nullptr && !stack.empty())
		{
			parent = &stack.front();
			shared_start = true;
		}
		LaneBar bar;
		bar.hi = hi;
		bar.ms = r.elapsed_ms;
		bar.rank = ranks[r.statement];
		bar.failed = r.failed;
		if (parent == nullptr)
		{
			bar.lo = lo;
			bar.depth = 0;
		}
		else
		{
			bar.depth = parent->depth + 1;
			bar.lo = shared_start ? std::max(parent->draw_lo, hi - r.execution_ms / 1000.0) : lo;
		}
		lane.bars.push_back(bar);
		stack.push_back({lo, hi, bar.lo, bar.depth});
	}
}

// Share of each density step that the session spent in top-level
// statements, from start to end.
void density(const Session &session, double t0, double t1, Lane &lane)
{
	lane.busy.assign(lane_density_steps, 0.0);
	double step = (t1 - t0) / lane_density_steps;
	for (const OpenStatement &o : session.open)
	{
		if (!o.counted || o.end_us <= o.start_us)
			continue;
		double s = static_cast<double>(o.start_us) / 1e6;
		double e = static_cast<double>(o.end_us) / 1e6;
		int first = std::max(static_cast<int>(std::floor((s - t0) / step)), 0);
		int last = std::min(static_cast<int>(std::ceil((e - t0) / step)) - 1, lane_density_steps - 1);
		for (int b = first; b <= last; b++)
		{
			double overlap = std::min(e, t0 + (b + 1) * step) - std::max(s, t0 + b * step);
			if (overlap > 0)
				lane.busy[static_cast<size_t>(b)] += overlap / step;
		}
	}
	for (double &b : lane.busy)
		b = std::min(b, 1.0);
}

} // namespace

Lanes build_lanes(const Aggregator &aggregator, const Overview &overview,
                  const Timeline &timeline, const std::vector<int> &ranks, const NameBook &names,
                  const std::vector<SourcePart> &sources)
{
	Lanes lanes;
	if (overview.statements == 0 || timeline.steps.empty())
		return lanes;
	if (overview.sessions > max_lanes)
	{
		lanes.why_not = "Sessions are drawn in lanes up to " + std::to_string(max_lanes) +
		                " sessions; this report has " + std::to_string(overview.sessions) +
		                " (--pid, --application or --user pick some).";
		return lanes;
	}
	double t0 = timeline.start_s;
	double t1 = t0 + timeline.step_s * static_cast<double>(timeline.steps.size());

	// Every statement when there are few; else the longest of those that
	// are at least a pixel or so wide.
	double min_ms = 0;
	if (overview.statements > max_lane_statements)
	{
		min_ms = (t1 - t0) * 1000.0 / 1000.0;
		lanes.which = "bars: the statements of " + human_ms(min_ms) + " or more (at most the " +
		              std::to_string(max_lane_statements) + " longest)";
	}
	std::map<uint64_t, std::vector<BarCandidate>> by_session;
	for (const BarCandidate &c : aggregator.longest())
	{
		if (c.elapsed_ms >= min_ms)
			by_session[session_key(c.source, c.pid)].push_back(c);
	}

	// Sessions in the order of their first statement, in a group per
	// source when there are several.
	std::vector<std::tuple<int, int64_t, uint64_t>> order;
	for (const auto &entry : aggregator.sessions())
	{
		if (entry.second.seen)
			order.emplace_back(entry.second.source, entry.second.first_us, entry.first);
	}
	std::sort(order.begin(), order.end());
	std::map<std::string, int> marks;
	for (const auto &o : order)
	{
		const Session &session = aggregator.sessions().at(std::get<2>(o));
		Lane lane;
		lane.pid = session.pid;
		if (sources.size() > 1)
			lane.group = sources[static_cast<size_t>(session.source)].label;
		lane.label = "pid " + std::to_string(lane.pid) + " \xC2\xB7 " + names.role_name(session.first_user);
		lane.application = session.first_application;
		if (!lane.application.empty())
		{
			auto mark = marks.find(lane.application);
			if (mark == marks.end())
			{
				lanes.applications.push_back(lane.application);
				mark = marks.emplace(lane.application, static_cast<int>(marks.size()) + 1).first;
			}
			lane.application_mark = mark->second;
		}
		nest_lane(by_session[std::get<2>(o)], ranks, lane);
		if (min_ms > 0)
			density(session, t0, t1, lane);
		lanes.lanes.push_back(std::move(lane));
	}
	if (min_ms > 0)
		lanes.density_steps = lane_density_steps;
	lanes.drawn = true;
	return lanes;
}
