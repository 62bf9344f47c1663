// Adding records to the aggregates.
#include "aggregate.hpp"

#include "plan_tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

int64_t floor_div(int64_t a, int64_t b)
{
	return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// The units UnitCounts moves through.
const int64_t unit_ladder[] = {100000, 1000000, 60000000, 3600000000LL, 86400000000LL};

// A statement's key: its normalized text and its database's name, so that
// the same statement has the same key in every trace and on every server.
std::string hex_key(const std::string &text, const std::string &database)
{
	uint64_t h = text_hash(text + '\0' + database);
	char buffer[17];
	std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(h));
	return buffer;
}

template <typename T>
bool contains(const std::vector<T> &list, const T &value)
{
	return std::find(list.begin(), list.end(), value) != list.end();
}

const char failed_note[] = "vireo: statement failed: ";

} // namespace

bool failure_of(std::string_view explain, std::string_view &sqlstate, std::string_view &message)
{
	constexpr size_t prefix = sizeof failed_note - 1;
	if (explain.compare(0, prefix, failed_note) != 0 || explain.size() < prefix + 5)
		return false;
	sqlstate = explain.substr(prefix, 5);
	for (char c : sqlstate)
	{
		if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')))
			return false;
	}
	message = explain.substr(prefix + 5);
	while (!message.empty() && message.front() == ' ')
		message.remove_prefix(1);
	return true;
}

int histogram_bin(double ms)
{
	double x = std::log10(std::max(ms, 0.001));
	return std::clamp(static_cast<int>(std::floor((x + 3) * 2)), 0, histogram_bins - 1);
}

void UnitCounts::add(int64_t at_us)
{
	counts_[floor_div(at_us, unit_us_)]++;
	if (counts_.size() <= max_units)
		return;
	for (int64_t unit : unit_ladder)
	{
		if (unit <= unit_us_)
			continue;
		std::unordered_map<int64_t, long long> coarser;
		for (const auto &c : counts_)
			coarser[floor_div(c.first * unit_us_, unit)] += c.second;
		counts_.swap(coarser);
		unit_us_ = unit;
		if (counts_.size() <= max_units)
			return;
	}
}

Aggregator::Aggregator(const Filter &filter, std::vector<bool> json_plans, bool merge_databases,
                       const NameBook &names, bool keep_source_executions)
    : filter_(filter), json_(std::move(json_plans)), merge_(merge_databases), names_(names),
      keep_source_executions_(keep_source_executions), sources_(json_.size())
{
}

bool Aggregator::passes(const TraceRecord &r) const
{
	const Filter &f = filter_;
	if (!f.pids.empty() && !contains(f.pids, r.pid))
		return false;
	if (!f.applications.empty() && (r.appl_null || !contains(f.applications, r.appl_name)))
		return false;
	if (!f.users.empty() && !contains(f.users, r.user_id))
		return false;
	if (!f.databases.empty() && !contains(f.databases, r.db_id))
		return false;
	return r.start_us >= f.from_us && r.start_us < f.to_us;
}

size_t Aggregator::statement_of(uint32_t text, uint32_t db)
{
	uint32_t group_db = merge_ ? 0 : db;
	uint64_t id = (uint64_t{text} << 32) | group_db;
	auto found = index_.find(id);
	if (found != index_.end())
		return found->second;
	size_t number = statements_.size();
	statements_.emplace_back();
	StatementTotals &t = statements_.back();
	t.text = text;
	t.db_id = group_db;
	t.key = hex_key(normalizer_.text(text), group_db == 0 ? "" : names_.database_name(group_db));
	if (sources_.size() > 1)
		t.by_source.resize(sources_.size());
	index_.emplace(id, number);
	return number;
}

void Aggregator::add(TraceRecord &r)
{
	sources_[static_cast<size_t>(r.source)].records++;
	all_pids_.insert(r.pid);
	all_users_.insert(r.user_id);
	all_databases_.insert(r.db_id);
	if (!r.appl_null && all_applications_.size() < max_groups)
		all_applications_.insert(r.appl_name);

	Session &s = sessions_[session_key(r.source, r.pid)];
	s.source = r.source;
	s.pid = r.pid;
	// The record waiting in this session ends where this one starts, at
	// the latest; and this one may be the caller of statements before it.
	if (s.waiting)
		settle(s, &r);
	while (!s.open.empty() && s.open.back().start_us >= r.start_us)
	{
		if (s.open.back().counted)
			sources_[static_cast<size_t>(r.source)].nested++;
		s.open.pop_back();
	}

	// Buffers: the plan's top node when it has them, else the difference
	// of the running totals to the previous record of the process (none
	// for its first record, or when a counter went down: another process
	// took the pid).
	PlanBuffers plan = holds_plan(r.plan) ? top_node_buffers(r.plan, json_[static_cast<size_t>(r.source)])
	                                      : PlanBuffers();
	bool same_backend = s.have_previous;
	for (int b : {buffer_shared_hit, buffer_shared_read, buffer_temp_read, buffer_temp_written})
		same_backend = same_backend && r.buffers[b] >= s.previous[b];
	if (plan.known)
	{
		s.buffers_from = "plan";
		s.hits = plan.hit;
		s.reads = plan.read;
		s.temp_read = plan.temp_read;
		s.temp_written = plan.temp_written;
	}
	else if (same_backend)
	{
		s.buffers_from = "difference";
		s.hits = r.buffers[buffer_shared_hit] - s.previous[buffer_shared_hit];
		s.reads = r.buffers[buffer_shared_read] - s.previous[buffer_shared_read];
		s.temp_read = r.buffers[buffer_temp_read] - s.previous[buffer_temp_read];
		s.temp_written = r.buffers[buffer_temp_written] - s.previous[buffer_temp_written];
	}
	else
	{
		s.buffers_from = "unknown";
		s.hits = s.reads = s.temp_read = s.temp_written = 0;
	}
	std::copy(std::begin(r.buffers), std::end(r.buffers), s.previous);
	s.have_previous = true;

	s.counted = passes(r);
	std::string_view sqlstate, message;
	s.failed = failure_of(r.plan, sqlstate, message);
	s.hash = text_hash(r.query);
	s.text = normalizer_.normalize(r.query, s.hash);
	s.statement = statement_of(s.text, r.db_id);

	// The record waits for the next one of its session; its texts move
	// into the session (the source's buffers get the old ones to reuse).
	TraceRecord &w = s.record;
	w.source = r.source;
	w.pid = r.pid;
	w.start_us = r.start_us;
	w.end_us = r.end_us;
	w.appl_name.swap(r.appl_name);
	w.appl_null = r.appl_null;
	w.user_id = r.user_id;
	w.db_id = r.db_id;
	w.query_type = r.query_type;
	w.query.swap(r.query);
	w.params.swap(r.params);
	w.params_null = r.params_null;
	w.plan.swap(r.plan);
	w.duration_ms = r.duration_ms;
	w.rows = r.rows;
	std::copy(std::begin(r.usage), std::end(r.usage), w.usage);
	std::copy(std::begin(r.buffers), std::end(r.buffers), w.buffers);
	s.waiting = true;
}

void Aggregator::settle(Session &s, const TraceRecord *next)
{
	const TraceRecord &r = s.record;
	// The elapsed time ends at the next statement's start when that came
	// first: with the extended protocol the executor of a statement can
	// end only when the client sends the next one.
	int64_t end = r.end_us;
	if (next != nullptr && next->start_us > r.start_us && next->start_us < end)
		end = next->start_us;
	end = std::max(end, r.start_us);
	if (s.counted)
		count(s, static_cast<double>(end - r.start_us) / 1000.0, end);
	s.open.push_back({r.start_us, end, static_cast<float>(r.duration_ms), s.counted});
	s.waiting = false;
}

namespace {

void keep_execution(Execution &e, const TraceRecord &r, double elapsed_ms, int64_t end_us)
{
	e.present = true;
	e.source = r.source;
	e.elapsed_ms = elapsed_ms;
	e.execution_ms = r.duration_ms;
	e.start_us = r.start_us;
	e.end_us = end_us;
	e.pid = r.pid;
	e.user_id = r.user_id;
	e.application = r.appl_name;
	e.text_length = static_cast<long long>(r.query.size());
	e.text = r.query.substr(0, max_text);
	e.params = r.params;
	e.plan = r.plan;
}

// The slowest execution, and the slowest with a plan when that one has
// none (a failed statement, a trace that keeps plans of the slow ones
// only).
void keep_slowest(Execution &slowest, Execution &planned, const TraceRecord &r, double elapsed_ms,
                  int64_t end_us)
{
	bool has_plan = holds_plan(r.plan);
	if (!slowest.present || elapsed_ms > slowest.elapsed_ms)
	{
		if (slowest.present && holds_plan(slowest.plan) && !has_plan &&
		    (!planned.present || slowest.elapsed_ms > planned.elapsed_ms))
			planned = std::move(slowest);
		keep_execution(slowest, r, elapsed_ms, end_us);
		if (has_plan)
			planned = Execution();
	}
	else if (has_plan && !holds_plan(slowest.plan) &&
	         (!planned.present || elapsed_ms > planned.elapsed_ms))
		keep_execution(planned, r, elapsed_ms, end_us);
}

} // namespace

void Aggregator::count(Session &s, double elapsed_ms, int64_t end_us)
{
	const TraceRecord &r = s.record;
	StatementTotals &t = statements_[s.statement];
	SourceCounters &source = sources_[static_cast<size_t>(r.source)];
	source.counted++;
	if (!s.seen || r.start_us < s.first_us)
	{
		s.first_us = r.start_us;
		s.first_user = r.user_id;
		s.first_application = r.appl_null ? std::string() : r.appl_name;
	}
	s.seen = true;
	if (!normalizer_.parsed(s.text))
	{
		source.not_parsed++;
	}
	double execution_ms = r.duration_ms;
	if (t.calls == 0)
	{
		t.min_ms = elapsed_ms;
		t.execution_max_ms = execution_ms;
	}
	add_call(t, s, elapsed_ms, end_us, true);
	t.min_ms = std::min(t.min_ms, elapsed_ms);
	t.execution_max_ms = std::max(t.execution_max_ms, execution_ms);
	if (s.buffers_from[0] == 'u')
	{
		t.unknown_buffers++;
		source.unknown_buffers++;
	}
	t.csw_voluntary += r.usage[usage_csw_voluntary];
	t.csw_involuntary += r.usage[usage_csw_involuntary];
	t.faults_major += r.usage[usage_major_faults];
	t.faults_minor += r.usage[usage_minor_faults];
	t.execution.add(execution_ms);
	t.texts.add(s.hash);
	t.variants.add(r.query, s.hash, elapsed_ms);
	t.pids.insert(r.pid);
	t.users.insert(r.user_id);
	t.databases.insert(r.db_id);
	if (!r.appl_null)
	{
		if (t.applications.size() < max_applications || t.applications.count(r.appl_name) > 0)
			t.applications.insert(r.appl_name);
		else
			t.more_applications++;
	}
	if (!t.by_source.empty())
		add_call(t.by_source[static_cast<size_t>(r.source)], s, elapsed_ms, end_us,
		         keep_source_executions_);
	if (s.failed)
		count_failure(s, elapsed_ms, end_us);

	source.all_elapsed_ms += elapsed_ms;
	source.all_execution_ms += execution_ms;
	source.first_us = std::min(source.first_us, r.start_us);
	source.last_us = std::max(source.last_us, r.end_us);
	source.ended.add(r.end_us);

	auto group = [&](GroupTotals &g) {
		g.calls++;
		g.elapsed_ms += elapsed_ms;
		g.execution_ms += execution_ms;
		g.statements.insert(s.statement);
	};
	group(by_database_[r.db_id]);
	group(by_user_[r.user_id]);
	const std::string application = r.appl_null ? std::string() : r.appl_name;
	if (by_application_.size() < max_groups || by_application_.count(application) > 0)
		group(by_application_[application]);
	else
		other_applications_++;

	BarCandidate bar{elapsed_ms, execution_ms, r.start_us, end_us, r.pid, r.source, s.statement, s.failed};
	if (longest_.size() < max_bar_candidates)
	{
		longest_.push_back(bar);
		std::push_heap(longest_.begin(), longest_.end(), std::greater<BarCandidate>());
	}
	else if (elapsed_ms > longest_.front().elapsed_ms)
	{
		std::pop_heap(longest_.begin(), longest_.end(), std::greater<BarCandidate>());
		longest_.back() = bar;
		std::push_heap(longest_.begin(), longest_.end(), std::greater<BarCandidate>());
	}

	if (on_call)
	{
		Call call;
		call.record = &r;
		call.start_us = r.start_us;
		call.end_us = r.end_us;
		call.elapsed_ms = elapsed_ms;
		call.execution_ms = execution_ms;
		call.hits = s.hits;
		call.reads = s.reads;
		call.temp_read = s.temp_read;
		call.temp_written = s.temp_written;
		call.buffers_from = s.buffers_from;
		call.key = t.key;
		std::string_view message;
		if (s.failed)
			failure_of(r.plan, call.sqlstate, message);
		on_call(call);
	}
}

void Aggregator::add_call(CallTotals &t, const Session &s, double elapsed_ms, int64_t end_us,
                          bool executions)
{
	const TraceRecord &r = s.record;
	if (t.calls == 0)
		t.max_ms = elapsed_ms;
	t.calls++;
	t.failed += s.failed ? 1 : 0;
	t.elapsed_ms += elapsed_ms;
	t.execution_ms += r.duration_ms;
	t.max_ms = std::max(t.max_ms, elapsed_ms);
	t.rows += r.rows;
	t.hits += s.hits;
	t.reads += s.reads;
	t.temp_read += s.temp_read;
	t.temp_written += s.temp_written;
	t.elapsed.add(elapsed_ms);
	t.histogram[static_cast<size_t>(histogram_bin(elapsed_ms))]++;
	if (executions)
		keep_slowest(t.slowest, t.planned, r, elapsed_ms, end_us);
}

void Aggregator::count_failure(const Session &s, double elapsed_ms, int64_t end_us)
{
	const TraceRecord &r = s.record;
	std::string_view sqlstate, message;
	failure_of(r.plan, sqlstate, message);
	StatementTotals &t = statements_[s.statement];
	t.sqlstates[std::string(sqlstate)]++;
	sources_[static_cast<size_t>(r.source)].failed++;
	failed_ended_.add(end_us);
	FailureClass &c = failures_[std::string(sqlstate)];
	c.calls++;
	c.elapsed_ms += elapsed_ms;
	c.statements.insert(s.statement);
	std::string cut = message.size() > max_failure_message
	                      ? std::string(message.substr(0, max_failure_message)) + "\xE2\x80\xA6"
	                      : std::string(message);
	if (elapsed_ms > c.slowest_ms)
	{
		c.slowest_ms = elapsed_ms;
		c.message = cut;
	}
	if (slowest_failed_.size() >= max_failed_calls && elapsed_ms <= slowest_failed_.front().elapsed_ms)
		return;
	FailedCall call{elapsed_ms, r.start_us, end_us, r.pid, r.source, s.statement,
	                std::string(sqlstate), std::move(cut)};
	if (slowest_failed_.size() >= max_failed_calls)
	{
		std::pop_heap(slowest_failed_.begin(), slowest_failed_.end(), std::greater<FailedCall>());
		slowest_failed_.back() = std::move(call);
	}
	else
		slowest_failed_.push_back(std::move(call));
	std::push_heap(slowest_failed_.begin(), slowest_failed_.end(), std::greater<FailedCall>());
}

void Aggregator::finish()
{
	for (auto &entry : sessions_)
	{
		if (entry.second.waiting)
			settle(entry.second, nullptr);
	}
}
