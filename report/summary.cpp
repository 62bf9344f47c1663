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

// Names of the types with these oids, as the server knows them now; an oid
// it does not know stands as a number.
std::map<uint32_t, std::string> type_names(Connection *db, const std::set<uint32_t> &oids)
{
	std::map<uint32_t, std::string> out;
	if (oids.empty() || db == nullptr)
		return out;
	Result r = db->query(
	    "SELECT t, coalesce(pg_catalog.format_type(t, NULL), t::text) FROM unnest($1::oid[]) t",
	    {oid_list(oids)});
	for (int i = 0; i < r.rows(); i++)
		out[static_cast<uint32_t>(r.integer(i, 0))] = r.text(i, 1);
	return out;
}

std::string name_of(const std::map<uint32_t, std::string> &names, uint32_t oid)
{
	auto found = names.find(oid);
	return found != names.end() ? found->second : std::to_string(oid);
}

Execution finish_execution(Execution e)
{
	if (e.present)
	{
		e.ended = timestamp_text(e.end_us);
		e.text = trim_blank_lines(e.text);
	}
	return e;
}

// A statement's calls, of all sources or one: the totals, and the
// execution whose plan is shown (the slowest, or the slowest with a plan
// when the slowest has none) when they were kept.
void summarise_calls(CallSummary &part, const CallTotals &t, const Aggregator &aggregator)
{
	static_cast<CallCounters &>(part) = t;
	part.calls = t.calls;
	part.failed = t.failed;
	part.elapsed_ms = t.elapsed_ms;
	part.execution_ms = t.execution_ms;
	part.mean_ms = t.calls > 0 ? t.elapsed_ms / static_cast<double>(t.calls) : 0;
	part.p95_ms = t.elapsed.quantile(0.95);
	part.p95_exact = t.elapsed.exact();
	part.max_ms = t.max_ms;
	part.histogram = t.histogram;
	if (!t.slowest.present)
		return;
	part.slowest = finish_execution(t.slowest);
	part.planned = finish_execution(t.planned);
	const Execution &shown =
	    holds_plan(part.slowest.plan) || !part.planned.present ? part.slowest : part.planned;
	part.plan_of_planned = &shown == &part.planned;
	part.plan = parse_plan(shown.plan, aggregator.json_plans(shown.source));
	if (part.plan.nodes.empty() && part.plan.note.empty())
		part.plan.note = shown.plan;
}

Statement make_statement(const StatementTotals &t, const Aggregator &aggregator,
                         const NameBook &names,
                         const std::vector<std::map<uint32_t, std::string>> &types)
{
	const Normalizer &normalizer = aggregator.normalizer();
	Statement s;
	s.key = t.key;
	std::string text = trim_blank_lines(normalizer.text(t.text));
	s.text_length = static_cast<long long>(text.size());
	s.text = text.substr(0, max_text);
	s.short_text = one_line_text(text, 200);
	s.parsed = normalizer.parsed(t.text);
	s.db_id = t.db_id;
	for (uint32_t d : t.databases)
		s.databases.push_back(names.database_name(d));
	for (uint32_t u : t.users)
		s.users.push_back(names.role_name(u));
	s.applications.assign(t.applications.begin(), t.applications.end());
	s.more_applications = t.more_applications;
	summarise_calls(s, t, aggregator);
	s.min_ms = t.min_ms;
	s.execution_mean_ms = t.calls > 0 ? t.execution_ms / static_cast<double>(t.calls) : 0;
	s.execution_p95_ms = t.execution.quantile(0.95);
	s.execution_max_ms = t.execution_max_ms;
	s.sessions = static_cast<long long>(t.pids.size());
	s.distinct_texts = t.texts.estimate();
	s.distinct_exact = t.texts.exact();
	s.variants = t.variants.top();
	s.variants_exact = t.variants.exact();
	for (Variant &v : s.variants)
		v.text = trim_blank_lines(v.text);
	std::string params;
	for (uint32_t p : s.slowest.params)
		params += (params.empty() ? "" : ", ") +
		          name_of(types[static_cast<size_t>(s.slowest.source)], p);
	s.params = params;

	s.sqlstates.assign(t.sqlstates.begin(), t.sqlstates.end());
	std::stable_sort(s.sqlstates.begin(), s.sqlstates.end(),
	                 [](const auto &a, const auto &b) { return a.second > b.second; });
	for (const CallTotals &b : t.by_source)
	{
		s.by_source.emplace_back();
		summarise_calls(s.by_source.back(), b, aggregator);
	}
	return s;
}

template <typename Name>
std::vector<Breakdown> breakdown(const std::map<uint32_t, GroupTotals> &groups, Name name)
{
	std::vector<Breakdown> out;
	for (const auto &g : groups)
		out.push_back({name(g.first), g.second.calls, g.second.elapsed_ms, g.second.execution_ms,
		               static_cast<long long>(g.second.statements.size())});
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

namespace {

void fill_overview(const Aggregator &aggregator, int source, Overview &o)
{
	auto mine = [source](int s) { return source < 0 || s == source; };
	const std::vector<StatementTotals> &all = aggregator.statements();
	for (const StatementTotals &t : all)
	{
		long long calls = source < 0 ? t.calls : t.by_source[static_cast<size_t>(source)].calls;
		o.normalized += calls > 0 ? 1 : 0;
		if (source < 0 && calls > 0)
			o.distinct += t.texts.estimate();
	}
	int64_t first = INT64_MAX;
	int64_t last = INT64_MIN;
	for (size_t i = 0; i < aggregator.source_count(); i++)
	{
		if (!mine(static_cast<int>(i)))
			continue;
		const SourceCounters &c = aggregator.source(i);
		o.statements += c.counted;
		o.not_parsed += c.not_parsed;
		o.nested += c.nested;
		o.unknown_buffers += c.unknown_buffers;
		o.failed += c.failed;
		o.all_elapsed_ms += c.all_elapsed_ms;
		o.all_execution_ms += c.all_execution_ms;
		first = std::min(first, c.first_us);
		last = std::max(last, c.last_us);
	}
	for (const auto &entry : aggregator.sessions())
	{
		if (!mine(entry.second.source))
			continue;
		o.sessions += entry.second.seen ? 1 : 0;
		for (const OpenStatement &open : entry.second.open)
		{
			if (open.counted)
			{
				o.elapsed_ms += static_cast<double>(open.end_us - open.start_us) / 1000.0;
				o.execution_ms += static_cast<double>(open.execution_ms);
			}
		}
	}
	if (o.statements > 0)
	{
		o.first_s = static_cast<double>(first) / 1e6;
		o.last_s = static_cast<double>(last) / 1e6;
		o.first = timestamp_text(first);
		o.last = timestamp_text(last);
	}
}

// The busiest second without drawing anything.
void find_busiest_second(const Aggregator &aggregator, int source, Overview &o)
{
	Overview busiest = o;
	build_timeline(aggregator, busiest, source);
	o.busiest_second = busiest.busiest_second;
	o.busiest_statements = busiest.busiest_statements;
	o.busiest_busy_ms = busiest.busiest_busy_ms;
}

void summarise_failures(const Aggregator &aggregator, const std::vector<int> &ranks, Report &report)
{
	for (const auto &f : aggregator.failures())
		report.failures.push_back({f.first, f.second.calls, f.second.elapsed_ms,
		                           static_cast<long long>(f.second.statements.size()),
		                           f.second.message});
	std::stable_sort(report.failures.begin(), report.failures.end(),
	                 [](const FailureRow &a, const FailureRow &b) {
		                 return a.calls != b.calls ? a.calls > b.calls : a.elapsed_ms > b.elapsed_ms;
	                 });
	std::vector<FailedCall> calls = aggregator.slowest_failed();
	std::sort_heap(calls.begin(), calls.end(), std::greater<FailedCall>());
	for (const FailedCall &c : calls)
	{
		const StatementTotals &t = aggregator.statements()[c.statement];
		FailedCallRow row;
		row.elapsed_ms = c.elapsed_ms;
		row.ended = timestamp_text(c.end_us);
		row.pid = c.pid;
		if (!report.sources.empty())
			row.server = report.sources[static_cast<size_t>(c.source)].label;
		row.sqlstate = c.sqlstate;
		row.message = c.message;
		row.rank = ranks[c.statement];
		row.key = t.key;
		row.short_text = one_line_text(trim_blank_lines(aggregator.normalizer().text(t.text)), 200);
		report.failed_calls.push_back(std::move(row));
	}
}

} // namespace

void summarise(const Aggregator &aggregator, const Options &options, const NameBook &names,
               const std::vector<Connection *> &servers, Report &report)
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

	fill_overview(aggregator, -1, o);
	if (aggregator.source_count() > 1)
	{
		for (size_t i = 0; i < report.sources.size(); i++)
		{
			fill_overview(aggregator, static_cast<int>(i), report.sources[i].overview);
			find_busiest_second(aggregator, static_cast<int>(i), report.sources[i].overview);
		}
	}

	// A comparison matches every statement of one trace with the other's;
	// exports have every statement unless --top is given.
	bool exporting = options.format == OutputFormat::csv || options.format == OutputFormat::json;
	size_t shown = report.compare || (exporting && !options.top_given)
	                   ? ranked.size()
	                   : std::min(ranked.size(), static_cast<size_t>(options.top));
	std::vector<std::set<uint32_t>> type_oids(servers.size());
	for (size_t i = 0; i < shown; i++)
	{
		const StatementTotals &t = all[ranked[i]];
		type_oids[static_cast<size_t>(t.slowest.source)].insert(t.slowest.params.begin(),
		                                                       t.slowest.params.end());
	}
	std::vector<std::map<uint32_t, std::string>> types;
	for (size_t i = 0; i < servers.size(); i++)
		types.push_back(type_names(servers[i], type_oids[i]));
	for (const auto &g : aggregator.by_database())
		o.databases.push_back(names.database_name(g.first));

	std::vector<int> ranks(all.size(), 0);
	for (size_t i = 0; i < shown; i++)
	{
		report.top.push_back(make_statement(all[ranked[i]], aggregator, names, types));
		report.top.back().rank = static_cast<int>(i + 1);
		ranks[ranked[i]] = static_cast<int>(i + 1);
	}
	for (size_t i = shown; i < ranked.size(); i++)
	{
		report.others_calls += all[ranked[i]].calls;
		report.others_elapsed_ms += all[ranked[i]].elapsed_ms;
		report.others_count++;
	}
	summarise_failures(aggregator, ranks, report);

	report.by_database =
	    breakdown(aggregator.by_database(), [&names](uint32_t id) { return names.database_name(id); });
	report.by_user =
	    breakdown(aggregator.by_user(), [&names](uint32_t id) { return names.role_name(id); });
	for (const auto &g : aggregator.by_application())
		report.by_application.push_back({g.first.empty() ? "(none)" : g.first, g.second.calls,
		                                 g.second.elapsed_ms, g.second.execution_ms,
		                                 static_cast<long long>(g.second.statements.size())});
	by_elapsed(report.by_database);
	by_elapsed(report.by_user);
	by_elapsed(report.by_application);

	if (options.format == OutputFormat::html && !report.compare)
	{
		report.timeline = build_timeline(aggregator, o);
		report.lanes = build_lanes(aggregator, o, report.timeline, ranks, names, report.sources);
	}
	else if (options.format == OutputFormat::text || report.compare)
		find_busiest_second(aggregator, -1, o);
}
