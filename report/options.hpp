// The command line of vireo-report.
#pragma once

#include <string>
#include <vector>

enum class OutputFormat
{
	html,
	text,
	csv,
	json
};

// What the statements are ranked by.
enum class SortKey
{
	elapsed,
	execution,
	mean,
	calls,
	rows,
	io
};

enum class PasswordPrompt
{
	when_needed,
	never,
	always
};

// One trace to read: its identifier, and the server it lives on (a libpq
// connection string or URI given with --source; empty: the connection the
// options -h, -p, -U, -d and the PG* variables make).
struct SourceSpec
{
	std::string conninfo;
	bool own_connection = false; // given with --source
	std::string trace_id;
};

struct Options
{
	std::string trace_id;            // the first trace
	std::vector<SourceSpec> sources; // every trace, in command-line order
	bool compare = false;            // --compare: the first trace against the second
	bool list = false; // --list: the traces, no report

	// Connection; empty values leave the choice to libpq (PG* variables,
	// then its defaults).  dbname may be a whole connection string or URI.
	std::string host;
	std::string port;
	std::string user;
	std::string dbname;
	PasswordPrompt prompt = PasswordPrompt::when_needed;

	OutputFormat format = OutputFormat::html;
	std::string output; // "-" is standard output; empty: the format's default
	int mode = -1;      // for a new output file; -1: 0600
	int top = 10;
	bool top_given = false;
	SortKey sort = SortKey::elapsed;
	bool calls = false; // csv/json: one row per execution
	bool merge_databases = false;
	bool load = false; // through vr_load_trace and the analysis tables
	std::vector<int> pids;
	std::vector<std::string> applications;
	std::vector<std::string> users;
	std::vector<std::string> databases;
	std::string from; // time window, as the server reads a timestamptz
	std::string to;
	bool reload = false;
	bool show_help = false;
	bool show_version = false;
};

// Parses argv; throws UsageError on anything it does not understand.
Options parse_options(int argc, char **argv);

// The --help text.
std::string usage_text();

// "elapsed", "execution" ... as the command line spells them.
const char *sort_key_name(SortKey key);

// The output path to use when -o was not given.
std::string default_output(const Options &options);

// Whether the report covers several traces: several servers, or a
// comparison.
bool several_traces(const Options &options);

// Whether any filter is given.
bool has_filters(const Options &options);
