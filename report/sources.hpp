// The traces a report reads and the servers they live on: one trace (the
// usual report), one per server (--source, repeated), or two compared
// (--compare).  Each source has its own connection.  In a report of several
// servers a server that cannot be reached is left out, and the report says
// so; a trace that is missing or may not be read fails the report, as does
// the same server named twice.
#pragma once

#include "connection.hpp"
#include "names.hpp"
#include "options.hpp"
#include "progress.hpp"
#include "trace_source.hpp"

#include <memory>
#include <string>
#include <vector>

struct Source
{
	SourceSpec spec;
	std::string label;       // how the report names the server
	std::string unreachable; // the connection's failure; empty when connected
	std::unique_ptr<Connection> db;
	TraceSource trace;
};

// Connects to every source's server, checks that no server is named twice,
// and finds each trace (trace_source.hpp), warning once per server whose
// module is of another release.  Throws Failure when a trace cannot be
// read, when no server can be reached, and, for a single trace or a
// comparison, when its server cannot be reached.
std::vector<Source> open_sources(const Options &options, Progress &progress);

// Reads every source's role and database names into a book.
NameBook read_names(std::vector<Source> &sources);

// The filters in the report's numbers; times are read by the first
// server that was reached.
Filter resolve_filter(std::vector<Source> &sources, const NameBook &names, const Options &options);

// One line when the server's module is of another release than this
// program.  Recording is off first, so that the question does not land in
// a running trace.
void check_module_version(Connection &db, Progress &progress, const std::string &label = "");
