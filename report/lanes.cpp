// The sessions' lanes of the timeline: every statement as a bar in the lane
// of its process, statements run by another statement (SQL function bodies)
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
// duration).  Records with their own start times show every level.
#include "summary.hpp"

#include "format.hpp"

#include <algorithm>
#include <map>

namespace {

struct Record
{
	double lo;
	double hi;
	double ms;
	long long query_id;
};

struct Open
{
	double lo; // as recorded
	double hi;
	double draw_lo; // as drawn
	int depth;
};

void nest_lane(const std::vector<Record> &records, const std::map<long long, int> &ranks,
               Lane &lane)
{
	// records come sorted by start, then longest first: callers before
	// the statements they ran.
	std::vector<Open> stack;
	for (const Record &r : records)
	{
		while (!stack.empty() && stack.back().hi < r.hi)
			stack.pop_back();
		const Open *parent = nullptr;
		for (auto it = stack.rbegin(); it != stack.rend(); ++it)
		{
			if (it->lo < r.lo)
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
		bar.hi = r.hi;
		bar.ms = r.ms;
		bar.query_id = r.query_id;
		auto rank = ranks.find(r.query_id);
		bar.rank = rank == ranks.end() ? 0 : rank->second;
		if (parent == nullptr)
		{
			bar.lo = r.lo;
			bar.depth = 0;
		}
		else
		{
			bar.depth = parent->depth + 1;
			bar.lo = shared_start ? std::max(parent->draw_lo, r.hi - r.ms / 1000.0) : r.lo;
		}
		lane.bars.push_back(bar);
		stack.push_back({r.lo, r.hi, bar.lo, bar.depth});
	}
}

// Share of each density step that each session spent in top-level
// statements, computed like the busy time of the timeline.
void read_density(Connection &db, double t0, double t1, Lanes &lanes)
{
	double step = (t1 - t0) / lane_density_steps;
	Result r = db.query(
	    "SELECT pid, g.b, sum(least(e, $1 + (g.b + 1) * $2) - greatest(s, $1 + g.b * $2)) / $2"
	    "  FROM (SELECT pid, s, s + duration / 1000 AS e"
	    "          FROM (SELECT pid, date_part('epoch', lo) AS s, duration"
	    "                  FROM pg_temp._vr_report_stmt WHERE NOT nested) a) x,"
	    "       generate_series(greatest(floor((s - $1) / $2)::int4, 0),"
	    "                       least(ceil((e - $1) / $2)::int4 - 1, $3 - 1)) AS g(b)"
	    " GROUP BY 1, 2",
	    {fixed(t0, 6), fixed(step, 9), std::to_string(lane_density_steps)});
	std::map<int, Lane *> by_pid;
	for (Lane &lane : lanes.lanes)
	{
		lane.busy.assign(lane_density_steps, 0.0);
		by_pid[lane.pid] = &lane;
	}
	for (int i = 0; i < r.rows(); i++)
	{
		auto lane = by_pid.find(static_cast<int>(r.integer(i, 0)));
		long long b = r.integer(i, 1);
		if (lane != by_pid.end() && b >= 0 && b < lane_density_steps)
			lane->second->busy[static_cast<size_t>(b)] = std::min(r.number(i, 2), 1.0);
	}
	lanes.density_steps = lane_density_steps;
}

} // namespace

Lanes read_lanes(Connection &db, const Overview &overview, const Timeline &timeline,
                 const std::vector<Statement> &top)
{
	Lanes lanes;
	if (overview.statements == 0 || timeline.steps.empty())
		return lanes;
	if (overview.sessions > max_lanes)
	{
		lanes.why_not = "Sessions are drawn in lanes up to " + std::to_string(max_lanes) +
		                " sessions; this report has " + std::to_string(overview.sessions) +
		                " (--pid or --application pick some).";
		return lanes;
	}
	std::map<long long, int> ranks;
	for (const Statement &s : top)
		ranks[s.query_id] = s.rank;
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
	Result sessions = db.query("SELECT pid, concat_ws(' \u00b7 ', 'pid ' || pid, "
	                           "min(user_id)::regrole::text, min(appl_name))"
	                           "  FROM pg_temp._vr_report_stmt GROUP BY pid ORDER BY min(lo), pid");
	Result records = db.query("SELECT pid, date_part('epoch', lo), date_part('epoch', hi),"
	                          "       duration, query_id"
	                          "  FROM (SELECT * FROM pg_temp._vr_report_stmt WHERE duration >= $1"
	                          "         ORDER BY duration DESC LIMIT $2) s"
	                          " ORDER BY pid, lo, hi DESC",
	                          {fixed(min_ms, 6), std::to_string(max_lane_statements)});
	std::map<int, std::vector<Record>> by_pid;
	for (int i = 0; i < records.rows(); i++)
		by_pid[static_cast<int>(records.integer(i, 0))].push_back(
		    {records.number(i, 1), records.number(i, 2), records.number(i, 3),
		     records.integer(i, 4)});
	for (int i = 0; i < sessions.rows(); i++)
	{
		Lane lane;
		lane.pid = static_cast<int>(sessions.integer(i, 0));
		lane.label = sessions.text(i, 1);
		nest_lane(by_pid[lane.pid], ranks, lane);
		lanes.lanes.push_back(std::move(lane));
	}
	if (min_ms > 0)
		read_density(db, t0, t1, lanes);
	lanes.drawn = true;
	return lanes;
}
