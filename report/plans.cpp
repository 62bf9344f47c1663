// The plan of each top statement's slowest execution.  JSON plans are taken
// apart on the server into one row per plan node, with the node's own
// (exclusive) time: its total time over all loops minus that of its
// children.  Text plans are shown as recorded.
#include "summary.hpp"

#include "errors.hpp"

#include <map>

namespace {

// One row per node, in plan order (depth first).  Time inside a Gather's
// workers is divided by the processes that ran it, so that it compares with
// the wall-clock time of the nodes above.  InitPlans and SubPlans are
// children like any other: their time is part of the node that ran them.
const char *const plan_nodes_sql = R"SQL(
WITH RECURSIVE doc AS (
    SELECT explain::jsonb AS plan FROM pg_temp._vr_tmp_tbl_vireo WHERE ctid = $1::tid
), node AS (
    SELECT ARRAY[1] AS path, 0 AS depth, plan -> 'Plan' AS n, 1::float8 AS procs
      FROM doc WHERE jsonb_typeof(plan -> 'Plan') = 'object'
    UNION ALL
    SELECT node.path || c.ord::int4, node.depth + 1, c.child,
           CASE WHEN node.n ->> 'Node Type' IN ('Gather', 'Gather Merge')
                THEN coalesce((node.n ->> 'Workers Launched')::float8, 0) + 1
                ELSE node.procs END
      FROM node, jsonb_array_elements(CASE WHEN jsonb_typeof(node.n -> 'Plans') = 'array'
                                           THEN node.n -> 'Plans' END) WITH ORDINALITY AS c(child, ord)
), timed AS (
    SELECT path, depth, n,
           coalesce((n ->> 'Actual Total Time')::float8 * (n ->> 'Actual Loops')::float8, 0)
             / procs AS total,
           coalesce((n ->> 'Temp Written Blocks')::int8, 0) AS temp_written,
           coalesce((n ->> 'Shared Read Blocks')::int8, 0) AS shared_read
      FROM node
)
SELECT t.depth, n ->> 'Node Type', n ->> 'Strategy', n ->> 'Partial Mode', n ->> 'Join Type',
       n ->> 'Scan Direction', n ->> 'Index Name', n ->> 'Relation Name', n ->> 'Alias',
       n ->> 'Function Name', n ->> 'CTE Name', n ->> 'Subplan Name', n ->> 'Parent Relationship',
       concat_ws(' · ',
           'Index Cond: ' || (n ->> 'Index Cond'),
           'Recheck Cond: ' || (n ->> 'Recheck Cond'),
           'Hash Cond: ' || (n ->> 'Hash Cond'),
           'Merge Cond: ' || (n ->> 'Merge Cond'),
           'Join Filter: ' || (n ->> 'Join Filter'),
           'Filter: ' || (n ->> 'Filter'),
           'rows removed by filter: ' || nullif(n ->> 'Rows Removed by Filter', '0'),
           'Sort Key: ' || (SELECT string_agg(k, ', ') FROM jsonb_array_elements_text(
                                CASE WHEN jsonb_typeof(n -> 'Sort Key') = 'array' THEN n -> 'Sort Key' END) k),
           'Group Key: ' || (SELECT string_agg(k, ', ') FROM jsonb_array_elements_text(
                                CASE WHEN jsonb_typeof(n -> 'Group Key') = 'array' THEN n -> 'Group Key' END) k),
           (n ->> 'Sort Method') || ' sort, ' || (n ->> 'Sort Space Used') || ' kB '
               || lower(n ->> 'Sort Space Type'),
           'workers: ' || (n ->> 'Workers Launched') || ' of ' || (n ->> 'Workers Planned')),
       (n ->> 'Actual Rows')::float8, (n ->> 'Plan Rows')::float8, (n ->> 'Actual Loops')::float8,
       t.total,
       greatest(t.total - coalesce(k.total, 0), 0),
       t.temp_written - coalesce(k.temp_written, 0), t.shared_read - coalesce(k.shared_read, 0),
       n ->> 'Operation'
  FROM timed t
  LEFT JOIN LATERAL (SELECT sum(c.total) AS total, sum(c.temp_written) AS temp_written,
                            sum(c.shared_read) AS shared_read
                       FROM timed c
                      WHERE cardinality(c.path) = cardinality(t.path) + 1
                        AND c.path[1:cardinality(t.path)] = t.path) k ON true
 ORDER BY t.path
)SQL";

const char *const triggers_sql = R"SQL(
SELECT tr ->> 'Trigger Name', coalesce(tr ->> 'Relation', ''), (tr ->> 'Time')::float8,
       (tr ->> 'Calls')::float8
  FROM (SELECT explain::jsonb AS plan FROM pg_temp._vr_tmp_tbl_vireo WHERE ctid = $1::tid) d,
       jsonb_array_elements(CASE WHEN jsonb_typeof(plan -> 'Triggers') = 'array'
                                 THEN plan -> 'Triggers' END) AS tr
)SQL";

// The node's title as EXPLAIN's text form writes it: "Hash Left Join",
// "Index Scan using orders_pkey on orders o", "HashAggregate".
std::string node_label(const Result &r, int row)
{
	std::string type = r.text(row, 1);
	std::string strategy = r.text(row, 2);
	std::string partial = r.text(row, 3);
	std::string join = r.text(row, 4);
	std::string label;

	if (type == "ModifyTable" && !r.text(row, 21).empty())
		label = r.text(row, 21);
	else if (type == "Aggregate" && strategy == "Hashed")
		label = "HashAggregate";
	else if (type == "Aggregate" && strategy == "Sorted")
		label = "GroupAggregate";
	else if (type == "Aggregate" && strategy == "Mixed")
		label = "MixedAggregate";
	else if (!join.empty() && join != "Inner" &&
	         (type == "Nested Loop" || type == "Hash Join" || type == "Merge Join"))
		label = (type == "Nested Loop" ? "Nested Loop " : type.substr(0, type.find(' ')) + " ") +
		        join + " Join";
	else
		label = type;
	if (!partial.empty() && partial != "Simple")
		label = partial + " " + label;
	if (r.text(row, 5) == "Backward")
		label += " Backward";

	std::string index = r.text(row, 6);
	std::string relation = r.text(row, 7);
	std::string alias = r.text(row, 8);
	std::string object = relation;
	if (object.empty())
		object = r.text(row, 9);
	if (object.empty())
		object = r.text(row, 10);
	if (type == "Bitmap Index Scan")
		label += " on " + index;
	else if (!index.empty())
		label += " using " + index;
	if (!object.empty())
		label += " on " + object + (!alias.empty() && alias != object ? " " + alias : "");
	else if (!alias.empty() && type.find("Scan") != std::string::npos)
		label += " on " + alias;

	std::string subplan = r.text(row, 11);
	std::string relationship = r.text(row, 12);
	if (!subplan.empty() && (relationship == "InitPlan" || relationship == "SubPlan"))
		label = subplan + ": " + label;
	return label;
}

void read_json_plan(Connection &db, Statement &s, const std::string &tid)
{
	Result r = db.query(plan_nodes_sql, {tid});
	for (int i = 0; i < r.rows(); i++)
	{
		PlanNode node;
		node.depth = static_cast<int>(r.integer(i, 0));
		node.label = node_label(r, i);
		node.detail = r.text(i, 13);
		// Buffer counts of a node include its children's: each node shows
		// what it added itself.
		long long temp_written = r.integer(i, 19);
		long long shared_read = r.integer(i, 20);
		if (shared_read > 0)
			node.detail += (node.detail.empty() ? "" : " \u00b7 ") +
			               std::string("shared blocks read: ") + std::to_string(shared_read);
		if (temp_written > 0)
			node.detail += (node.detail.empty() ? "" : " \u00b7 ") +
			               std::string("temp blocks written: ") + std::to_string(temp_written);
		node.rows = r.number(i, 14);
		node.plan_rows = r.number(i, 15);
		node.loops = r.number(i, 16);
		node.total_ms = r.number(i, 17);
		node.self_ms = r.number(i, 18);
		s.plan_nodes.push_back(std::move(node));
	}
	Result t = db.query(triggers_sql, {tid});
	for (int i = 0; i < t.rows(); i++)
		s.triggers.push_back({t.text(i, 0), t.text(i, 1), t.number(i, 2), t.number(i, 3)});
}

} // namespace

void read_plans(Connection &db, const TraceInfo &trace, std::vector<Statement> &top)
{
	if (top.empty())
		return;
	std::vector<long long> ids;
	std::map<long long, Statement *> by_id;
	for (Statement &s : top)
	{
		ids.push_back(s.query_id);
		by_id[s.query_id] = &s;
	}
	Result slowest = db.query("SELECT DISTINCT ON (query_id) query_id, src::text, duration, pid,"
	                          "       to_char(hi, $2)"
	                          "  FROM pg_temp._vr_report_stmt WHERE query_id = ANY ($1::int8[])"
	                          " ORDER BY query_id, duration DESC, hi",
	                          {int8_array(ids), std::string(timestamp_format)});
	for (int i = 0; i < slowest.rows(); i++)
	{
		Statement &s = *by_id.at(slowest.integer(i, 0));
		std::string tid = slowest.text(i, 1);
		s.slowest_ms = slowest.number(i, 2);
		s.slowest_pid = static_cast<int>(slowest.integer(i, 3));
		s.slowest_at = slowest.text(i, 4);
		if (trace.json)
		{
			try
			{
				read_json_plan(db, s, tid);
			}
			catch (const SqlError &)
			{
				// Not JSON after all (a damaged record): show it as it is.
				s.plan_nodes.clear();
				s.triggers.clear();
			}
		}
		if (s.plan_nodes.empty())
		{
			Result text = db.query(
			    "SELECT explain FROM pg_temp._vr_tmp_tbl_vireo WHERE ctid = $1::tid", {tid});
			if (text.rows() > 0)
				s.plan_text = text.text(0, 0);
		}
	}
}
