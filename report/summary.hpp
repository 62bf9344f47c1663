// The report's numbers, computed in SQL from the analysis tables that
// vr_load_trace filled.  Everything here is aggregated on the server; the
// client receives a bounded number of rows whatever the size of the trace.
#pragma once

#include "connection.hpp"
#include "model.hpp"
#include "options.hpp"
#include "trace_source.hpp"

#include <vector>

// Makes pg_temp._vr_report_stmt: one row per recorded statement of the
// trace that passes the filters, with its buffer counters turned into
// differences to the previous record of the same process and a flag for
// statements that ran inside another statement.
void build_statement_table(Connection &db, const LoadedTrace &trace, const Options &options);

Overview read_overview(Connection &db);

// Statements and busy time per second, or per tenth of a second for short
// traces (pg_temp._vr_report_time), folded into at most max_timeline_steps
// steps; fills in the overview's busiest second.
Timeline read_timeline(Connection &db, Overview &overview);
constexpr int max_timeline_steps = 120;

// The top statements by the sort key, with their text, parameter types,
// p95, histogram and slowest execution (its plan comes from read_plans).
std::vector<Statement> read_top_statements(Connection &db, const Options &options);

// The plan of each statement's slowest execution: as a tree of nodes with
// their own times for JSON plans, as text otherwise.
void read_plans(Connection &db, const TraceInfo &trace, std::vector<Statement> &top);

// One lane per session, up to max_lanes sessions: a bar per statement, or
// for larger traces a bar for each of the longest statements over a strip
// of how busy the session was; see lanes.cpp for how nesting is found.
Lanes read_lanes(Connection &db, const Overview &overview, const Timeline &timeline,
                 const std::vector<Statement> &top);
constexpr long long max_lane_statements = 3000;
constexpr long long max_lanes = 24;
constexpr int lane_density_steps = 280;
