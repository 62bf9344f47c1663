// The timeline: how many statements ended and how busy the sessions were,
// step by step across the trace.
#include "summary.hpp"

#include <cmath>

namespace {

// Statements and busy time per unit of time (a second, or a tenth for
// short traces; $1 units per second).  Busy time is each top-level
// statement's execution time from its start on, spread over the units it
// covers; nested statements are inside their caller's time and are not
// counted again.
const char *const time_table_sql = R"SQL(
CREATE TEMP TABLE _vr_report_time AS
SELECT u AS unit, sum(n)::int8 AS statements, sum(busy)::float8 AS busy_ms
  FROM (SELECT floor(date_part('epoch', hi) * $1)::int8 AS u, 1 AS n, 0::float8 AS busy
          FROM pg_temp._vr_report_stmt
        UNION ALL
        SELECT g.u, 0, (least(b.e, (g.u + 1)::float8 / $1) - greatest(b.s, g.u::float8 / $1)) * 1000
          FROM (SELECT s, s + duration / 1000 AS e
                  FROM (SELECT date_part('epoch', lo) AS s, duration
                          FROM pg_temp._vr_report_stmt WHERE NOT nested) a) b,
               generate_series(floor(b.s * $1)::int8, ceil(b.e * $1)::int8 - 1) AS g(u)) t
 GROUP BY u
)SQL";

// Round steps, in seconds; the timeline takes the smallest that gives at
// most max_timeline_steps steps.
const double step_choices[] = {0.1,  0.2,   0.5,   1,     2,     5,      10,     15,
                               30,   60,    120,   300,   600,   900,    1800,   3600,
                               7200, 10800, 21600, 43200, 86400, 172800, 604800, 2592000};

const char *label_pattern(double seconds, double span)
{
	if (span > 2 * 86400)
		return "MM-DD HH24:MI";
	if (seconds < 1)
		return "HH24:MI:SS.MS";
	return seconds >= 60 ? "HH24:MI" : "HH24:MI:SS";
}

// About six labelled ticks on round times.
void make_ticks(Connection &db, Timeline &timeline)
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
	std::string list = "{";
	for (double k = std::ceil(timeline.start_s / spacing - 1e-9);
	     k * spacing <= timeline.start_s + span + 1e-9; k += 1)
		list += (list.size() > 1 ? "," : "") + std::to_string(k * spacing);
	list += "}";
	Result r =
	    db.query("SELECT t, to_char(to_timestamp(t), $2) FROM unnest($1::float8[]) AS t ORDER BY t",
	             {list, std::string(label_pattern(spacing, span))});
	for (int i = 0; i < r.rows(); i++)
		timeline.ticks.push_back({r.number(i, 0), r.text(i, 1)});
}

} // namespace

Timeline read_timeline(Connection &db, Overview &overview)
{
	Timeline timeline;
	long long per_second = overview.last_s - overview.first_s < 120 ? 10 : 1;
	db.run(time_table_sql, {std::to_string(per_second)});
	Result range = db.query("SELECT min(unit), max(unit) FROM pg_temp._vr_report_time");
	if (range.null(0, 0))
		return timeline;
	long long first = range.integer(0, 0);
	long long last = range.integer(0, 1);

	long long units = 0; // units per step
	for (double s : step_choices)
	{
		long long u = std::llround(s * static_cast<double>(per_second));
		if (u >= 1 &&
		    std::fabs(s * static_cast<double>(per_second) - static_cast<double>(u)) < 1e-9 &&
		    (last - first + u) / u <= max_timeline_steps)
		{
			units = u;
			break;
		}
	}
	if (units == 0)
		units = (last - first + max_timeline_steps) / max_timeline_steps;
	long long start = first / units * units;
	long long count = (last - start) / units + 1;
	timeline.step_s = static_cast<double>(units) / static_cast<double>(per_second);
	timeline.start_s = static_cast<double>(start) / static_cast<double>(per_second);
	timeline.steps.assign(static_cast<size_t>(count), TimelineStep{});

	Result steps = db.query("SELECT unit / $1::int8, sum(statements), sum(busy_ms)"
	                        "  FROM pg_temp._vr_report_time GROUP BY 1 ORDER BY 1",
	                        {std::to_string(units)});
	for (int i = 0; i < steps.rows(); i++)
	{
		long long index = steps.integer(i, 0) - start / units;
		if (index < 0 || index >= count)
			continue;
		timeline.steps[static_cast<size_t>(index)].statements = steps.integer(i, 1);
		timeline.steps[static_cast<size_t>(index)].busy_ms = steps.number(i, 2);
	}
	Result labels =
	    db.query("SELECT to_char(to_timestamp(($1::int8 + i * $2::int8)::float8 / $3::int8), $5)"
	             "  FROM generate_series(0, $4::int8 - 1) AS i ORDER BY i",
	             {std::to_string(start), std::to_string(units), std::to_string(per_second),
	              std::to_string(count),
	              std::string(label_pattern(timeline.step_s,
	                                        timeline.step_s * static_cast<double>(count)))});
	for (int i = 0; i < labels.rows() && i < count; i++)
		timeline.steps[static_cast<size_t>(i)].label = labels.text(i, 0);

	Result busiest =
	    db.query("SELECT to_char(to_timestamp(unit / $1::int8), $2), sum(statements), sum(busy_ms)"
	             "  FROM pg_temp._vr_report_time GROUP BY unit / $1::int8"
	             " ORDER BY 3 DESC, 2 DESC, unit / $1::int8 LIMIT 1",
	             {std::to_string(per_second), std::string("YYYY-MM-DD HH24:MI:SS TZ")});
	overview.busiest_second = busiest.text(0, 0);
	overview.busiest_statements = busiest.integer(0, 1);
	overview.busiest_busy_ms = busiest.number(0, 2);
	make_ticks(db, timeline);
	return timeline;
}
