// What a report holds: everything the writers show, gathered by the queries
// before the first byte is written.  Its size depends on --top and on the
// number of timeline steps, never on the number of records in the trace.
#pragma once

#include <string>
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
	long long number = 0;  // the session's number for the trace (_vr_tmp_tbl_traces.id)
	long long running = 0; // traced sessions running a statement when the load began
	std::string loaded_at; // when vr_load_trace began
	std::string database;
	std::string server;
	std::string report_user;
};

struct Overview
{
	long long statements = 0;
	long long distinct = 0;
	long long sessions = 0;
	long long nested = 0;          // statements run inside another one
	long long unknown_buffers = 0; // first records of a backend: no difference to take
	double total_ms = 0;           // time of the statements that are not nested
	double all_ms = 0;             // every statement's duration added up
	double first_s = 0;            // epoch of the first start, the last end
	double last_s = 0;
	std::string first;
	std::string last;
	std::string busiest_second; // empty when nothing ran
	long long busiest_statements = 0;
	double busiest_busy_ms = 0;
};

struct TimelineStep
{
	long long statements = 0; // statements that ended in the step
	double busy_ms = 0;       // time spent in top-level statements during the step
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
	double ms = 0;
	int depth = 0;
	int rank = 0; // rank of its statement among the top ones, 0 for others
	long long query_id = 0;
};

struct Lane
{
	int pid = 0;
	std::string label;
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
};

struct PlanNode
{
	int depth = 0;
	std::string label;
	std::string detail;
	double total_ms = 0; // the node and its children, all loops
	double self_ms = 0;  // the node alone
	double rows = 0;
	double plan_rows = 0;
	double loops = 0;
};

struct TriggerTime
{
	std::string name;
	std::string relation;
	double ms = 0;
	double calls = 0;
};

struct Statement
{
	int rank = 0;
	long long query_id = 0;
	std::string text; // possibly cut at a length; see text_length
	long long text_length = 0;
	std::string short_text;
	std::string params; // parameter types, "integer, text"; empty for none

	long long calls = 0;
	double total_ms = 0;
	double mean_ms = 0;
	double p95_ms = 0;
	double max_ms = 0;
	double min_ms = 0;
	long long rows = 0;
	long long hits = 0;
	long long reads = 0;
	long long temp_read = 0;
	long long temp_written = 0;
	long long csw_voluntary = 0;
	long long csw_involuntary = 0;
	long long faults_major = 0;
	long long faults_minor = 0;
	long long sessions = 0;
	std::vector<long long> histogram; // duration bins, see histogram_bins

	// Its slowest execution.
	double slowest_ms = 0;
	std::string slowest_at;
	int slowest_pid = 0;
	std::string plan_text;            // text plans, or JSON that could not be read
	std::vector<PlanNode> plan_nodes; // JSON plans
	std::vector<TriggerTime> triggers;
};

// Durations are counted in half-decade bins from 1 microsecond up:
// bin i (0-based) holds [10^(i/2 - 3), 10^((i+1)/2 - 3)) ms; the first bin
// also holds shorter statements, the last one longer ones.
constexpr int histogram_bins = 16;

struct Report
{
	TraceInfo trace;
	Overview overview;
	Timeline timeline;
	Lanes lanes;
	std::vector<Statement> top;
	std::vector<std::string> notes;
	std::string sort;
	std::string focus; // the filters, in words; empty for the whole trace
	std::string generated_at;
};
