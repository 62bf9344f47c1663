// Finding a trace on the server and loading it into the report's session.
#pragma once

#include "connection.hpp"
#include "model.hpp"
#include "options.hpp"

#include <string>
#include <vector>

// The display form of timestamps in every query of the report.
extern const char *const timestamp_format;

struct LoadedTrace
{
	TraceInfo info;
	std::string schema; // the extension's schema, quoted
	int max_size_mb = 0;
	Param users; // the trace's user and database lists, NULL for all
	Param databases;
};

// Prepares the session, finds the trace in vr_traces_list (switching
// vireo.explain_format to the trace's plan format), checks that the user may
// load it and loads it with vr_load_trace.  Throws Failure with a one-line
// message for every way this can go wrong.
LoadedTrace load_trace(Connection &db, const Options &options, Progress &progress);

// "deactivated", "ended at its size limit" ... for a vr_traces_list status.
std::string status_text(int status);

// Notes on what the report cannot show: a trace still running or cut short,
// data file bytes that were not loaded.  Call after load_trace.
std::vector<std::string> partial_data_notes(Connection &db, const LoadedTrace &trace,
                                            const Overview &overview);
