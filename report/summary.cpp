// Overview, timeline and top statements from the analysis tables.
#include "summary.hpp"

#include "errors.hpp"

#include <algorithm>
#include <cmath>
#include <map>

namespace {

// Buffer counters in the records are running totals of the backend; the
// difference to the backend's previous record is what the statement (and
// whatever ran unrecorded since that record) used.  A backend's first record
// has nothing to subtract from, and a counter that went down means that a
// new backend took over the process id: both count as 0.
//
// A statement is nested when a record of the same process that ends later
// started no later than it did: its caller, which is still running when the
// statement ends.  This holds whether a nested record carries its own start
// time or, as today, the start time of the top-level statement.  The window
// runs from the process's last record backwards, so that min() only grows
// its frame.
const char *const statement_table_sql = R"SQL(
CREATE TEMP TABLE _vr_report_stmt AS
SELECT src, pid, user_id, appl_name, query_id, lo, hi, duration, n_rows,
       CASE WHEN same_backend THEN hit - prev_hit ELSE 0 END AS hit,
       CASE WHEN same_backend THEN read - prev_read ELSE 0 END AS read,
       CASE WHEN same_backend THEN tmp_read - prev_tmp_read ELSE 0 END AS tmp_read,
       CASE WHEN same_backend THEN tmp_written - prev_tmp_written ELSE 0 END AS tmp_written,
       vol_csw, invol_csw, major_faults, minor_faults,
       NOT same_backend AS unknown_buffers,
       coalesce(later_start <= lo, false) AS nested
  FROM (SELECT *, coalesce(hit >= prev_hit AND read >= prev_read AND tmp_read >= prev_tmp_read
                           AND tmp_written >= prev_tmp_written, false) AS same_backend
          FROM (SELECT p.ctid AS src, p.pid, p.user_id, p.appl_name, p.query_id,
                       p.start_time AS lo, p.end_time AS hi, p.duration,
                       p.rows_updated AS n_rows,
                       p.shared_blk_hit AS hit, p.shared_blk_read AS read,
                       p.tmp_blk_read AS tmp_read, p.tmp_blk_written AS tmp_written,
                       lag(p.shared_blk_hit) OVER w AS prev_hit,
                       lag(p.shared_blk_read) OVER w AS prev_read,
                       lag(p.tmp_blk_read) OVER w AS prev_tmp_read,
                       lag(p.tmp_blk_written) OVER w AS prev_tmp_written,
                       coalesce(p.vol_contx_switch, 0) AS vol_csw,
                       coalesce(p.invol_contx_switch, 0) AS invol_csw,
                       coalesce(p.page_faults, 0) AS major_faults,
                       coalesce(p.page_reclaims, 0) AS minor_faults,
                       min(p.start_time) OVER later AS later_start
                  FROM pg_temp._vr_tmp_tbl_vireo p
                 WHERE p.trace_id = $1
                WINDOW w AS (PARTITION BY p.pid ORDER BY p.end_time),
                       later AS (PARTITION BY p.pid ORDER BY p.end_time DESC
                                 ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING)) r) s
 WHERE ($2::int4[] IS NULL OR pid = ANY ($2::int4[]))
   AND ($3::text[] IS NULL OR appl_name = ANY ($3::text[]))
)SQL";

const char *sort_expression(SortKey key)
{
	switch (key)
	{
		case SortKey::total:
			return "sum(duration)";
		case SortKey::mean:
			return "avg(duration)";
		case SortKey::calls:
			return "count(*)";
		case SortKey::rows:
			return "sum(n_rows)";
		case SortKey::io:
			return "sum(read) + sum(tmp_read) + sum(tmp_written)";
	}
	return "sum(duration)";
}

} // namespace

void build_statement_table(Connection &db, const LoadedTrace &trace, const Options &options)
{
	db.run("DROP TABLE IF EXISTS pg_temp._vr_report_stmt, pg_temp._vr_report_time");
	db.run(statement_table_sql, {std::to_string(trace.info.number), int_array(options.pids),
	                             text_array(options.applications)});
	db.run("CREATE INDEX ON pg_temp._vr_report_stmt (query_id)");
	db.run("ANALYZE pg_temp._vr_report_stmt");
}

Overview read_overview(Connection &db)
{
	Result r = db.query(
	    "SELECT count(*), count(DISTINCT query_id), count(DISTINCT pid),"
	    "       count(*) FILTER (WHERE nested), count(*) FILTER (WHERE unknown_buffers),"
	    "       coalesce(sum(duration) FILTER (WHERE NOT nested), 0), coalesce(sum(duration), 0),"
	    "       date_part('epoch', min(lo)), date_part('epoch', max(hi)),"
	    "       to_char(min(lo), $1), to_char(max(hi), $1)"
	    "  FROM pg_temp._vr_report_stmt",
	    {std::string(timestamp_format)});
	Overview o;
	o.statements = r.integer(0, 0);
	o.distinct = r.integer(0, 1);
	o.sessions = r.integer(0, 2);
	o.nested = r.integer(0, 3);
	o.unknown_buffers = r.integer(0, 4);
	o.total_ms = r.number(0, 5);
	o.all_ms = r.number(0, 6);
	o.first_s = r.number(0, 7);
	o.last_s = r.number(0, 8);
	o.first = r.text(0, 9);
	o.last = r.text(0, 10);
	return o;
}

std::vector<Statement> read_top_statements(Connection &db, const Options &options)
{
	std::vector<Statement> top;
	Result r = db.query(std::string("SELECT query_id, count(*), sum(duration), avg(duration),"
	                                "       max(duration), min(duration), sum(n_rows), sum(hit),"
	                                "       sum(read), sum(tmp_read), sum(tmp_written),"
	                                "       sum(vol_csw), sum(invol_csw), sum(major_faults),"
	                                "       sum(minor_faults)"
	                                "  FROM pg_temp._vr_report_stmt GROUP BY query_id"
	                                " ORDER BY ") +
	                        sort_expression(options.sort) + " DESC, query_id LIMIT $1",
	                    {std::to_string(options.top)});
	std::map<long long, size_t> index;
	std::vector<long long> ids;
	for (int i = 0; i < r.rows(); i++)
	{
		Statement s;
		s.rank = i + 1;
		s.query_id = r.integer(i, 0);
		s.calls = r.integer(i, 1);
		s.total_ms = r.number(i, 2);
		s.mean_ms = r.number(i, 3);
		s.max_ms = r.number(i, 4);
		s.min_ms = r.number(i, 5);
		s.rows = r.integer(i, 6);
		s.hits = r.integer(i, 7);
		s.reads = r.integer(i, 8);
		s.temp_read = r.integer(i, 9);
		s.temp_written = r.integer(i, 10);
		s.csw_voluntary = r.integer(i, 11);
		s.csw_involuntary = r.integer(i, 12);
		s.faults_major = r.integer(i, 13);
		s.faults_minor = r.integer(i, 14);
		s.histogram.assign(histogram_bins, 0);
		index[s.query_id] = top.size();
		ids.push_back(s.query_id);
		top.push_back(std::move(s));
	}
	if (top.empty())
		return top;
	Param id_list = int8_array(ids);

	Result p95 = db.query("SELECT query_id, percentile_cont(0.95) WITHIN GROUP (ORDER BY duration),"
	                      "       count(DISTINCT pid)"
	                      "  FROM pg_temp._vr_report_stmt WHERE query_id = ANY ($1::int8[])"
	                      " GROUP BY query_id",
	                      {id_list});
	for (int i = 0; i < p95.rows(); i++)
	{
		Statement &s = top[index.at(p95.integer(i, 0))];
		s.p95_ms = p95.number(i, 1);
		s.sessions = p95.integer(i, 2);
	}

	// Half-decade bins from 1 microsecond (log10 of -3 in ms) to 100 s.
	Result bins = db.query(
	    "SELECT query_id, least(width_bucket(log(greatest(duration, 0.001)), -3, 5, $2), $2) - 1,"
	    "       count(*)"
	    "  FROM pg_temp._vr_report_stmt WHERE query_id = ANY ($1::int8[]) GROUP BY 1, 2",
	    {id_list, std::to_string(histogram_bins)});
	for (int i = 0; i < bins.rows(); i++)
	{
		long long bin = std::clamp<long long>(bins.integer(i, 1), 0, histogram_bins - 1);
		top[index.at(bins.integer(i, 0))].histogram[static_cast<size_t>(bin)] += bins.integer(i, 2);
	}

	Result texts = db.query(
	    "SELECT DISTINCT ON (q.query_id) q.query_id, left(q.query, 20000), length(q.query),"
	    "       left(btrim(regexp_replace(q.query, '\\s+', ' ', 'g')), 200),"
	    "       (SELECT string_agg(format_type(t, NULL), ', ' ORDER BY o)"
	    "          FROM unnest(coalesce(q.params::oid[], q.paramsarr)) WITH ORDINALITY AS u(t, o))"
	    "  FROM pg_temp._vr_tmp_tbl_query q WHERE q.query_id = ANY ($1::int8[])"
	    " ORDER BY q.query_id",
	    {id_list});
	for (int i = 0; i < texts.rows(); i++)
	{
		Statement &s = top[index.at(texts.integer(i, 0))];
		s.text = texts.text(i, 1);
		s.text_length = texts.integer(i, 2);
		s.short_text = texts.text(i, 3);
		s.params = texts.text(i, 4);
	}
	return top;
}
