// Finding a trace on the server and reading its records: streamed by
// vr_trace_records (nothing is written on the server, so this works on a
// standby too), or, with --load or on a server whose extension has no
// vr_trace_records yet, loaded with vr_load_trace into the session's
// analysis tables and read from there.
#pragma once

#include "aggregate.hpp"
#include "connection.hpp"
#include "model.hpp"
#include "options.hpp"
#include "output_file.hpp"
#include "row_source.hpp"

#include <string>
#include <vector>

struct TraceSource
{
	TraceInfo info;
	std::string schema; // the extension's schema, quoted
	int max_size_mb = 0;
	Param users; // the trace's user and database lists, NULL for all
	Param databases;
	bool can_stream = false; // the extension has vr_trace_records
	bool stream = false;     // and the report streams with it
};

// Prepares the session (no recording of its own statements, a fixed
// search_path, the client's clock in the session's time zone), finds the
// trace in vr_traces_list (switching vireo.explain_format to the trace's
// plan format) and checks that the user may read it.  Throws Failure with a
// one-line message for every way this can go wrong.
// load: read it with vr_load_trace (--load) even where it could be
// streamed.
TraceSource find_trace(Connection &db, const std::string &trace_id, bool load, Progress &progress);

// Hands every record of the trace to sink, streamed or loaded.
void read_trace(Connection &db, TraceSource &trace, const Options &options, Progress &progress,
                const RecordSink &sink);

// "deactivated", "ended at its size limit" ... for a vr_traces_list status.
std::string status_text(int status);

// What of the statements the trace recorded, when it did not record every
// one with its plan: "1% of the statements (sampled): calls are recorded
// calls; plans of those of 10 ms and more".  Empty for a trace of all.
std::string sampling_words(const TraceInfo &trace);

// Notes on what the report cannot show: a trace still running or cut short,
// data file bytes that were not loaded, buffers that are not known.
std::vector<std::string> partial_data_notes(Connection &db, const TraceSource &trace,
                                            const Overview &overview);

// --list: the traces the connecting role may report on.
void list_traces(Connection &db, const Options &options, OutputFile &out);

// How many data files the trace has, or -1 when this role may not list
// them (pg_ls_dir).
int data_file_count(Connection &db, const TraceSource &trace);
