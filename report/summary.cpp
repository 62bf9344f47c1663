// Ranking the statements and putting the report together.
#include "summary.hpp"

#include "errors.hpp"
#include "format.hpp"

#include <algorithm>
#include <cmath>

namespace {

double sort_value(const StatementTotals &t, SortKey key)
{
	switch (key)
	{
		case SortKey::elapsed:
			return t.elapsed_ms;
		case SortKey::execution:
			return t.execution_ms;
		case SortKey::mean:
			return t.calls > 0 ? t.elapsed_ms / static_cast<double>(t.calls) : 0;
		case SortKey::calls:
			return static_cast<double>(t.calls);
		case SortKey::rows:
			return static_cast<double>(t.rows);
		case SortKey::io:
			return static_cast<double>(t.reads + t.temp_read + t.temp_written);
	}
	return t.elapsed_ms;
}

std::string oid_list(const std::set<uint32_t> &oids)
{
	std::string list = "{";
	for (uint32_t oid : oids)
		list += (list.size() > 1 ? "," : "") + std::to_string(oid);
	return list + "}";
}

// Names of the roles, databases or types with these oids, as the server
// knows them now; an oid it does not know stands as a number.
std::map<uint32_t, std::string> names(Connection &db, const std::set<uint32_t> &oids,
                                      const char *query)
{
	std::map<uint32_t, std::string> out;
	if (oids.empty())
		return out;
	Result r = db.query(query, {oid_list(oids)});
	for (int i = 0; i < r.rows(); i++)
		out[static_cast<uint32_t>(r.integer(i, 0))] = r.text(i, 1);
	return out;
}

const char *const role_names_sql =
    "SELECT u, coalesce(r.rolname::text, 'role ' || u) FROM unnest($1::oid[]) u"
    " LEFT JOIN pg_catalog.pg_roles r ON r.oid = u";
const char *const database_names_sql =
    "SELECT d, coalesce(x.datname::text, 'database ' || d) FROM unnest($1::oid[]) d"
    " LEFT JOIN pg_catalog.pg_database x ON x.oid = d";
const char *const type_names_sql =
    "SELECT t, coalesce(pg_catalog.format_type(t, NULL), t::text) FROM unnest($1::oid[]) t";

std::string name_of(const std::map<uint32_t, std::string> &names, uint32_t oid)
{
	auto found = names.find(oid);
	return found != names.end() ? found->second : std::to_string(oid);
}

Execution finish_execution(Execution e)
{
	if (e.present)
		e.ended = timestamp_text(e.end_us);
	return e;
}

Statement make_statement(const StatementTotals &t, const Normalizer &normalizer, bool json,
                         const std::map<uint32_t, std::string> &users,
                         const std::map<uint32_t, std::string> &databases,
                         const std::map<uint32_t, std::string> &types)
{
	Statement s;
	s.key = t.key;
	std::string text = trim_blank_lines(normalizer.text(t.text));
	s.text_length = static_cast<long long>(text.size());
	s.text = text.substr(0, max_text);
	s.short_text = one_line_text(text, 200);
	s.parsed = normalizer.parsed(t.text);
	s.db_id = t.db_id;
	for (uint32_t d : t.databases)
		s.databases.push_back(name_of(databases, d));
	for (uint32_t u : t.users)
		s.users.push_back(name_of(users, u));
	s.applications.assign(t.applications.begin(), t.applications.end());
	s.more_applications = t.more_applications;
	s.calls = t.calls;
	s.elapsed_ms = t.elapsed_ms;
	s.execution_ms = t.execution_ms;
	s.mean_ms = t.calls > 0 ? t.elapsed_ms / static_cast<double>(t.calls) : 0;
	s.p95_ms = t.elapsed.quantile(0.95);
	s.p95_exact = t.elapsed.exact();
	s.min_ms = t.min_ms;
	s.max_ms = t.max_ms;
	s.execution_mean_ms = t.calls > 0 ? t.execution_ms / static_cast<double>(t.calls) : 0;
	s.execution_p95_ms = t.execution.quantile(0.95);
	s.execution_max_ms = t.execution_max_ms;
	static_cast<CallCounters &>(s) = t;
	s.sessions = static_cast<long long>(t.pids.size());
	s.distinct_texts = t.texts.estimate();
	s.distinct_exact = t.texts.exact();
	s.histogram = t.histogram;
	s.variants = t.variants.top();
	s.variants_exact = t.variants.exact();
	for (Variant &v : s.variants)
		v.text = trim_blank_lines(v.text);
	s.slowest = finish_execution(t.slowest);
	s.slowest.text = trim_blank_lines(s.slowest.text);
	s.planned = finish_execution(t.planned);
	const Execution &shown = holds_plan(s.slowest.plan) || !s.planned.present ? s.slowest : s.planned;
	s.plan_of_planned = &shown == &s.planned;
	s.plan = parse_plan(shown.plan, json);
	if (s.plan.nodes.empty() && s.plan.note.empty())
		s.plan.note = shown.plan;
	std::string params;
	for (uint32_t p : s.slowest.params)
		params += (params.empty() ? "" : ", ") + name_of(types, p);
	s.params = params;
	return s;
}

std::vector<Breakdown> breakdown(const std::map<uint32_t, GroupTotals> &groups,
                                 const std::map<uint32_t, std::string> &names)
{
	std::vector<Breakdown> out;
	for (const auto &g : groups)
		out.push_back({name_of(names, g.first), g.second.calls, g.second.elapsed_ms,
		               g.second.execution_ms, static_cast<long long>(g.second.statements.size())});
	return out;
}

void by_elapsed(std::vector<Breakdown> &rows)
{
	std::stable_sort(rows.begin(), rows.end(), [](const Breakdown &a, const Breakdown &b) {
		return a.elapsed_ms > b.elapsed_ms;
	});
}

} // namespace

std::vector<Variant> frequent_variants(const Statement &s)
{
	std::vector<Variant> shown;
	for (const Variant &v : s.variants)
	{
		if (s.variants_exact || v.calls - v.error >= 2)
			shown.push_back(v);
	}
	return shown;
}

void summarise(const Aggregator &aggregator, const Options &options, Connection &db,
               Report &report)
{
	Overview &o = report.overview;
	const std::vector<StatementTotals> &all = aggregator.statements();
	std::vector<size_t> ranked;
	for (size_t i = 0; i < all.size(); i++)
	{
		if (all[i].calls > 0)
			ranked.push_back(i);
	}
	std::sort(ranked.begin(), ranked.end(), [&](size_t a, size_t b) {
		double x = sort_value(all[a], options.sort);
		double y = sort_value(all[b], options.sort);
		return x != y ? x > y : all[a].key < all[b].key;
	});

	o.statements = aggregator.counted();
	o.normalized = static_cast<long long>(ranked.size());
	for (size_t i : ranked)
		o.distinct += all[i].texts.estimate();
	o.not_parsed = aggregator.not_parsed();
	for (const auto &entry : aggregator.sessions())
		o.sessions += entry.second.seen ? 1 : 0;
	o.nested = aggregator.nested();
	o.unknown_buffers = aggregator.unknown_buffers();
	for (const auto &entry : aggregator.sessions())
	{
		for (const OpenStatement &open : entry.second.open)
		{
			if (open.counted)
			{
				o.elapsed_ms += static_cast<double>(open.end_us - open.start_us) / 1000.0;
				o.execution_ms += static_cast<double>(open.execution_ms);
			}
		}
	}
	o.all_elapsed_ms = aggregator.all_elapsed_ms();
	o.all_execution_ms = aggregator.all_execution_ms();
	if (o.statements > 0)
	{
		o.first_s = static_cast<double>(aggregator.first_us()) / 1e6;
		o.last_s = static_cast<double>(aggregator.last_us()) / 1e6;
		o.first = timestamp_text(aggregator.first_us());
		o.last = timestamp_text(aggregator.last_us());
	}

	// Names for what is shown.
	bool exporting = options.format == OutputFormat::csv || options.format == OutputFormat::json;
	size_t shown = exporting && !options.top_given
	                   ? ranked.size()
	                   : std::min(ranked.size(), static_cast<size_t>(options.top));
	std::set<uint32_t> user_oids;
	std::set<uint32_t> database_oids;
	std::set<uint32_t> type_oids;
	for (const auto &g : aggregator.by_user())
		user_oids.insert(g.first);
	for (const auto &g : aggregator.by_database())
		database_oids.insert(g.first);
	for (size_t i = 0; i < shown; i++)
		type_oids.insert(all[ranked[i]].slowest.params.begin(), all[ranked[i]].slowest.params.end());
	std::map<uint32_t, std::string> users = names(db, user_oids, role_names_sql);
	std::map<uint32_t, std::string> databases = names(db, database_oids, database_names_sql);
	std::map<uint32_t, std::string> types = names(db, type_oids, type_names_sql);
	for (uint32_t d : database_oids)
		o.databases.push_back(name_of(databases, d));

	std::vector<int> ranks(all.size(), 0);
	for (size_t i = 0; i < shown; i++)
	{
		report.top.push_back(make_statement(all[ranked[i]], aggregator.normalizer(),
		                                    report.trace.json, users, databases, types));
		report.top.back().rank = static_cast<int>(i + 1);
		ranks[ranked[i]] = static_cast<int>(i + 1);
	}
	for (size_t i = shown; i < ranked.size(); i++)
	{
		report.others_calls += all[ranked[i]].calls;
		report.others_elapsed_ms += all[ranked[i]].elapsed_ms;
		report.others_count++;
	}

	report.by_database = breakdown(aggregator.by_database(), databases);
	report.by_user = breakdown(aggregator.by_user(), users);
	for (const auto &g : aggregator.by_application())
		report.by_application.push_back({g.first.empty() ? "(none)" : g.first, g.second.calls,
		                                 g.second.elapsed_ms, g.second.execution_ms,
		                                 static_cast<long long>(g.second.statements.size())});
	by_elapsed(report.by_database);
	by_elapsed(report.by_user);
	by_elapsed(report.by_application);

	if (options.format == OutputFormat::html)
	{
		report.timeline = build_timeline(aggregator, o);
		report.lanes = build_lanes(aggregator, o, report.timeline, ranks, users);
	}
	else if (options.format == OutputFormat::text)
	{
		// The busiest second without drawing anything.
		Overview busiest = o;
		build_timeline(aggregator, busiest);
		o.busiest_second = busiest.busiest_second;
		o.busiest_statements = busiest.busiest_statements;
		o.busiest_busy_ms = busiest.busiest_busy_ms;
	}
}
