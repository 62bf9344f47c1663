// The client-side aggregation of a trace: records go in one by one, in the
// order of their data files, and what stays in memory grows with the
// normalized statements and the sessions, not with the records.
//
// A report may read several traces (sources: several servers, or two traces
// compared).  Their records then go into the same aggregates, one source
// after the other, with the source's number in each record and its role and
// database oids turned into the report's numbers (names.hpp): a statement
// is a normalized text in a database of that name on any of the servers,
// and beside its totals it keeps those of each source.  A session is a
// server process of one source.
//
// Per session (server process) it keeps the previous record's running
// buffer totals, one record in waiting (its elapsed time is capped at the
// next statement's start, so it is counted when that arrives), and the
// stack of its statements that no later record has yet shown to be nested.
// A statement is nested when a record of the same process that ends later
// started no later than it did: its caller.  The stack holds 24 bytes per
// statement that is top-level so far.
#pragma once

#include "model.hpp"
#include "names.hpp"
#include "normalize.hpp"
#include "record.hpp"
#include "sketch.hpp"

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Which records count; the others still serve as the previous or next
// record of their session.
struct Filter
{
	std::vector<int> pids;
	std::vector<std::string> applications;
	std::vector<uint32_t> users;     // the report's numbers of roles
	std::vector<uint32_t> databases; // and of databases
	int64_t from_us = INT64_MIN;
	int64_t to_us = INT64_MAX;
};

// One execution as --calls writes it.
struct Call
{
	const TraceRecord *record = nullptr; // its texts (query, application)
	int64_t start_us = 0;
	int64_t end_us = 0; // as recorded
	double elapsed_ms = 0;
	double execution_ms = 0;
	int64_t hits = 0;
	int64_t reads = 0;
	int64_t temp_read = 0;
	int64_t temp_written = 0;
	const char *buffers_from = ""; // "plan", "difference" or "unknown"
	std::string_view key;
	std::string_view sqlstate; // of a failed call, else empty
};

// A failed call's SQLSTATE and message, from the note the capture writes in
// place of its plan: "vireo: statement failed: 57014 canceling statement
// due to statement timeout".  False for anything else.
bool failure_of(std::string_view explain, std::string_view &sqlstate, std::string_view &message);

// What calls add up to: a statement's, and its share of each source.
struct CallTotals : CallCounters
{
	long long calls = 0;
	long long failed = 0; // calls that ended in an error
	double elapsed_ms = 0;
	double execution_ms = 0;
	double max_ms = 0;
	QuantileSketch elapsed;
	std::vector<long long> histogram = std::vector<long long>(histogram_bins, 0);
	Execution slowest;
	Execution planned;
};

// Accumulated numbers of one normalized statement.
struct StatementTotals : CallTotals
{
	uint32_t text = 0;  // the Normalizer's number
	uint32_t db_id = 0; // the report's number of its database; 0 when merged
	std::string key;
	std::map<std::string, long long> sqlstates; // of the failed calls
	// Several sources only; their slowest executions for a comparison only.
	std::vector<CallTotals> by_source;
	double min_ms = 0;
	double execution_max_ms = 0;
	QuantileSketch execution;
	DistinctCounter texts;
	VariantSummary variants;
	std::set<int> pids;
	std::set<uint32_t> users;
	std::set<uint32_t> databases;
	std::set<std::string> applications; // up to max_applications
	long long more_applications = 0;
};

// Statements ended, counted per unit of time; the unit grows (0.1 s, 1 s,
// 1 min, 1 h, 1 day) when too many units are in use, each a multiple of
// the one before, so that counts move into the larger unit exactly.
class UnitCounts
{
public:
	void add(int64_t at_us);
	int64_t unit_us() const
	{
		return unit_us_;
	}
	const std::unordered_map<int64_t, long long> &counts() const
	{
		return counts_;
	}

private:
	static constexpr size_t max_units = 200000;
	int64_t unit_us_ = 100000;
	std::unordered_map<int64_t, long long> counts_;
};

// One source's counts of what it gave.
struct SourceCounters
{
	long long records = 0;
	long long counted = 0;
	long long nested = 0;
	long long not_parsed = 0;
	long long unknown_buffers = 0;
	long long failed = 0;
	double all_elapsed_ms = 0;
	double all_execution_ms = 0;
	int64_t first_us = INT64_MAX;
	int64_t last_us = INT64_MIN;
	UnitCounts ended; // statements ended, per unit of time
};

// Failed calls of one SQLSTATE.
struct FailureClass
{
	long long calls = 0;
	double elapsed_ms = 0;
	std::string message; // of the slowest
	double slowest_ms = -1;
	std::set<size_t> statements;
};

// One of the slowest failed calls.
struct FailedCall
{
	double elapsed_ms = 0;
	int64_t start_us = 0;
	int64_t end_us = 0;
	int pid = 0;
	int source = 0;
	size_t statement = 0;
	std::string sqlstate;
	std::string message;
	bool operator>(const FailedCall &other) const
	{
		return elapsed_ms > other.elapsed_ms;
	}
};

// A statement of a session that is top-level so far.
struct OpenStatement
{
	int64_t start_us;
	int64_t end_us; // capped
	float execution_ms;
	bool counted; // passes the filters
};

// A call that may get a bar in the lanes.
struct BarCandidate
{
	double elapsed_ms;
	double execution_ms;
	int64_t start_us;
	int64_t end_us;
	int pid;
	int source;
	size_t statement;
	bool failed;
	bool operator>(const BarCandidate &other) const
	{
		return elapsed_ms > other.elapsed_ms;
	}
};

struct Session
{
	int source = 0;
	int pid = 0;
	bool have_previous = false;
	int64_t previous[8] = {};
	bool waiting = false;
	TraceRecord record; // the record in waiting, with its derived numbers below
	uint32_t text = 0;
	uint64_t hash = 0;
	size_t statement = 0;
	bool counted = false;
	bool failed = false; // the record in waiting
	const char *buffers_from = "";
	int64_t hits = 0;
	int64_t reads = 0;
	int64_t temp_read = 0;
	int64_t temp_written = 0;
	std::deque<OpenStatement> open;
	bool seen = false; // has counted records
	int64_t first_us = 0; // its first counted statement's start
	uint32_t first_user = 0;
	std::string first_application;
};

struct GroupTotals
{
	long long calls = 0;
	double elapsed_ms = 0;
	double execution_ms = 0;
	std::unordered_set<size_t> statements;
};

// The key of a session: its source and pid.
constexpr uint64_t session_key(int source, int pid)
{
	return (uint64_t(static_cast<uint32_t>(source)) << 32) | static_cast<uint32_t>(pid);
}

class Aggregator
{
public:
	// json_plans: the plan format of each source.  keep_source_executions:
	// each source's slowest execution of every statement is kept too.
	Aggregator(const Filter &filter, std::vector<bool> json_plans, bool merge_databases,
	           const NameBook &names, bool keep_source_executions = false);

	// Called for each counted execution when set (--calls).
	std::function<void(const Call &)> on_call;

	void add(TraceRecord &record);
	// After the last record: the waiting records are counted.
	void finish();

	// What was gathered.
	const Normalizer &normalizer() const
	{
		return normalizer_;
	}
	const std::vector<StatementTotals> &statements() const
	{
		return statements_;
	}
	std::vector<StatementTotals> &statements()
	{
		return statements_;
	}
	const std::map<uint64_t, Session> &sessions() const
	{
		return sessions_;
	}
	size_t source_count() const
	{
		return sources_.size();
	}
	const SourceCounters &source(size_t i) const
	{
		return sources_[i];
	}
	bool json_plans(int source) const
	{
		return json_[static_cast<size_t>(source)];
	}
	// Failed calls by SQLSTATE, and the slowest of them (a min-heap).
	const std::map<std::string, FailureClass> &failures() const
	{
		return failures_;
	}
	const std::vector<FailedCall> &slowest_failed() const
	{
		return slowest_failed_;
	}
	const UnitCounts &failed_ended() const
	{
		return failed_ended_;
	}
	const std::vector<BarCandidate> &longest() const
	{
		return longest_;
	}
	// Records read, and calls that pass the filters, of every source.
	long long records() const
	{
		return sum(&SourceCounters::records);
	}
	long long counted() const
	{
		return sum(&SourceCounters::counted);
	}
	const std::map<uint32_t, GroupTotals> &by_database() const
	{
		return by_database_;
	}
	const std::map<uint32_t, GroupTotals> &by_user() const
	{
		return by_user_;
	}
	const std::map<std::string, GroupTotals> &by_application() const
	{
		return by_application_;
	}
	long long other_applications() const
	{
		return other_applications_;
	}
	// Every pid, application, user and database met, counted or not: for
	// the message when the filters match nothing.
	const std::set<int> &all_pids() const
	{
		return all_pids_;
	}
	const std::set<std::string> &all_applications() const
	{
		return all_applications_;
	}
	const std::set<uint32_t> &all_users() const
	{
		return all_users_;
	}
	const std::set<uint32_t> &all_databases() const
	{
		return all_databases_;
	}

	static constexpr size_t max_applications = 32;  // per statement
	static constexpr size_t max_groups = 1000;      // applications in the breakdown
	static constexpr size_t max_bar_candidates = 3000;
	static constexpr size_t max_failed_calls = 20;
	static constexpr size_t max_failure_message = 600;

private:
	bool passes(const TraceRecord &r) const;
	void settle(Session &session, const TraceRecord *next);
	void count(Session &session, double elapsed_ms, int64_t end_us);
	size_t statement_of(uint32_t text, uint32_t db);
	void add_call(CallTotals &t, const Session &session, double elapsed_ms, int64_t end_us,
	              bool executions);
	void count_failure(const Session &session, double elapsed_ms, int64_t end_us);
	long long sum(long long SourceCounters::*field) const
	{
		long long n = 0;
		for (const SourceCounters &c : sources_)
			n += c.*field;
		return n;
	}

	Filter filter_;
	std::vector<bool> json_;
	bool merge_;
	const NameBook &names_;
	bool keep_source_executions_;
	Normalizer normalizer_;
	std::vector<StatementTotals> statements_;
	std::unordered_map<uint64_t, size_t> index_;
	std::map<uint64_t, Session> sessions_;
	std::vector<SourceCounters> sources_;
	std::map<std::string, FailureClass> failures_;
	std::vector<FailedCall> slowest_failed_;
	UnitCounts failed_ended_;
	std::vector<BarCandidate> longest_; // a min-heap on elapsed time
	std::map<uint32_t, GroupTotals> by_database_;
	std::map<uint32_t, GroupTotals> by_user_;
	std::map<std::string, GroupTotals> by_application_;
	long long other_applications_ = 0;
	std::set<int> all_pids_;
	std::set<std::string> all_applications_;
	std::set<uint32_t> all_users_;
	std::set<uint32_t> all_databases_;
};

// The bin of histogram_bins for a duration in ms.
int histogram_bin(double ms);
