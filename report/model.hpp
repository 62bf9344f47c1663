// What a report holds: everything the writers show, aggregated from the
// trace's records before the first byte is written.  Its size depends on
// the number of normalized statements, --top and the timeline's steps,
// never on the number of records.
#pragma once

#include "plan_tree.hpp"
#include "sketch.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct TraceInfo
{
	std::string id;
	std::string comment;
	std::string owner;
	std::string start;  // when the trace started
	std::string end;    // planned end (time limit) or when it ended; may be empty
	std::string finish; // when it ended; empty while running
	int status = 0;     // as vr_traces_list reports it
	double version = 0; // 3: text plans, 4: JSON plans
	bool json = false;
	bool loaded = false;   // read from the analysis tables (--load), else streamed
	long long number = 0;  // the session's number for the trace when loaded
	long long running = 0; // traced sessions running a statement when it was read
	std::string read_at;   // when the records were read
	std::string database;
	std::string server;
	std::string report_user;
	std::string label;    // the server as the report names it: "db1:5432"
	bool standby = false; // the server was in recovery
	// What the trace was activated with, where the server tells it
	// (vireo.sample_rate, vireo.plan_min_duration); unset when it does not.
	std::optional<double> sample_rate;
	std::optional<double> plan_min_duration_ms;
};

struct Overview
{
	long long statements = 0;  // recorded calls that pass the filters
	long long normalized = 0;  // normalized statements among them
	long long distinct = 0;    // distinct texts (estimated beyond a few thousand each)
	long long not_parsed = 0;  // calls whose text the parser could not read
	long long sessions = 0;
	long long nested = 0;          // statements run inside another one
	long long unknown_buffers = 0; // neither the plan nor an earlier record gives them
	long long failed = 0;          // calls that ended in an error
	double elapsed_ms = 0;         // top-level statements: start to end
	double execution_ms = 0;       // top-level statements: their plans' execution
	double all_elapsed_ms = 0;     // every statement, nested ones too
	double all_execution_ms = 0;
	double first_s = 0; // epoch of the first start, the last end
	double last_s = 0;
	std::string first;
	std::string last;
	std::string busiest_second; // empty when nothing ran
	long long busiest_statements = 0;
	double busiest_busy_ms = 0;
	std::vector<std::string> databases; // names, for the header
};

struct TimelineStep
{
	long long statements = 0; // statements that ended in the step
	long long failed = 0;     // of them, failed ones
	double busy_ms = 0;       // time sessions spent in top-level statements, start to end
	std::string label;        // when it starts
};

struct Tick
{
	double at = 0; // epoch seconds
	std::string label;
};

struct Timeline
{
	double start_s = 0; // epoch of the first step
	double step_s = 1;  // 0.1 s and up
	std::vector<TimelineStep> steps;
	std::vector<Tick> ticks;
};

struct LaneBar
{
	double lo = 0; // epoch seconds, as drawn
	double hi = 0;
	double ms = 0; // elapsed
	int depth = 0;
	int rank = 0; // rank of its statement among the top ones, 0 for others
	bool failed = false;
};

struct Lane
{
	std::string group; // the server, when the report has several
	int pid = 0;
	std::string label;       // "pid 1234 · alice"
	std::string application; // in full
	int application_mark = 0; // its number in the legend, 0 for none
	std::vector<LaneBar> bars;
	std::vector<double> busy; // share of each density step the session was busy, when drawn
};

struct Lanes
{
	bool drawn = false;
	std::string why_not;   // when not drawn
	std::string which;     // which statements have bars, when not all
	int density_steps = 0; // 0: no density strips, every statement has its bar
	std::vector<Lane> lanes;
	std::vector<std::string> applications; // the legend: mark i + 1 is applications[i]
};

// One execution of a statement, kept for the slowest ones.
struct Execution
{
	bool present = false;
	int source = 0;
	double elapsed_ms = 0;
	double execution_ms = 0;
	int64_t start_us = 0;
	int64_t end_us = 0;
	int pid = 0;
	uint32_t user_id = 0;
	std::string application;
	std::string text; // its own text, cut at max_text
	long long text_length = 0;
	std::vector<uint32_t> params;
	std::string plan;
	std::string ended; // formatted end
};

// What a statement's calls add up to, besides their times.
struct CallCounters
{
	long long rows = 0;
	long long hits = 0;
	long long reads = 0;
	long long temp_read = 0;
	long long temp_written = 0;
	long long csw_voluntary = 0;
	long long csw_involuntary = 0;
	long long faults_major = 0;
	long long faults_minor = 0;
	long long unknown_buffers = 0;
};

// What a statement's calls add up to, of all sources or of one.
struct CallSummary : CallCounters
{
	long long calls = 0;
	long long failed = 0; // calls that ended in an error
	double elapsed_ms = 0;
	double execution_ms = 0;
	double mean_ms = 0; // elapsed
	double p95_ms = 0;
	double max_ms = 0;
	bool p95_exact = true;
	std::vector<long long> histogram; // elapsed, in histogram_bins bins
	Execution slowest; // by elapsed time
	Execution planned; // the slowest that has a plan, when the slowest has none
	Plan plan;         // of slowest, or of planned
	bool plan_of_planned = false;
};

// A statement's numbers in one source of a report that reads several (the
// slowest execution and its plan: comparisons only).
struct StatementPart : CallSummary
{
};

struct Statement : CallSummary
{
	int rank = 0;
	std::string key; // 16 hex digits: the normalized text and, unless merged, the database
	std::string text; // normalized, cut at max_text; see text_length
	long long text_length = 0;
	std::string short_text;
	bool parsed = true; // false: the parser could not read it and it stands as itself
	uint32_t db_id = 0; // 0 when databases are merged
	std::vector<std::string> databases;
	std::vector<std::string> users;
	std::vector<std::string> applications;
	long long more_applications = 0;
	std::string params; // parameter types of the slowest execution, "integer, text"

	double min_ms = 0;
	double execution_mean_ms = 0;
	double execution_p95_ms = 0;
	double execution_max_ms = 0;
	long long sessions = 0;
	long long distinct_texts = 0;
	bool distinct_exact = true;
	std::vector<Variant> variants;
	bool variants_exact = true;

	std::vector<std::pair<std::string, long long>> sqlstates; // of the failed calls, most first
	std::vector<StatementPart> by_source; // several sources only
};

// Failed calls of one SQLSTATE.
struct FailureRow
{
	std::string sqlstate;
	long long calls = 0;
	double elapsed_ms = 0;
	long long statements = 0;
	std::string message; // of its slowest call
};

// One of the slowest failed calls.
struct FailedCallRow
{
	double elapsed_ms = 0;
	std::string ended;
	int pid = 0;
	std::string server; // several sources only
	std::string sqlstate;
	std::string message;
	int rank = 0; // of its statement among the top ones, 0 for others
	std::string key;
	std::string short_text;
};

// One source of a report that reads several: a server, or a side of a
// comparison.
struct SourcePart
{
	std::string label;
	std::string unreachable; // why it could not be read; empty when it was
	TraceInfo trace;
	Overview overview;
	std::vector<std::string> notes;
};

// Durations are counted in half-decade bins from 1 microsecond up:
// bin i (0-based) holds [10^(i/2 - 3), 10^((i+1)/2 - 3)) ms; the first bin
// also holds shorter statements, the last one longer ones (100 s and up).
constexpr int histogram_bins = 16;
constexpr size_t max_text = 20000;

// Calls and times per database, user or application.
struct Breakdown
{
	std::string name;
	long long calls = 0;
	double elapsed_ms = 0;
	double execution_ms = 0;
	long long statements = 0; // normalized statements with calls there
};

struct Report
{
	TraceInfo trace;
	Overview overview;
	Timeline timeline;
	Lanes lanes;
	std::vector<Statement> top; // ranked, --top of them (all for exports)
	long long others_calls = 0; // the statements not in top
	double others_elapsed_ms = 0;
	long long others_count = 0;
	std::vector<Breakdown> by_database;
	std::vector<Breakdown> by_user;
	std::vector<Breakdown> by_application;
	std::vector<std::string> notes;
	std::string sort; // in words
	bool sort_execution = false; // ranked by execution time
	std::string focus; // the filters, in words; empty for the whole trace
	std::string generated_at;
	bool merged_databases = false;
	std::vector<FailureRow> failures; // by SQLSTATE, most calls first
	std::vector<FailedCallRow> failed_calls; // slowest first
	// Several sources: one part each (a server, or a side of a comparison).
	std::vector<SourcePart> sources;
	bool compare = false;
};

// The variants worth showing: all when their counts are exact, else those
// certainly called more than once.
std::vector<Variant> frequent_variants(const Statement &s);
