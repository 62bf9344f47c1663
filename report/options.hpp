// The command line of vireo-report.
#pragma once

#include <string>
#include <vector>

enum class OutputFormat
{
	html,
	text
};

// What the top statements are ranked by.
enum class SortKey
{
	total,
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

struct Options
{
	std::string trace_id;

	// Connection; empty values leave the choice to libpq (PG* variables,
	// then its defaults).  dbname may be a whole connection string or URI.
	std::string host;
	std::string port;
	std::string user;
	std::string dbname;
	PasswordPrompt prompt = PasswordPrompt::when_needed;

	OutputFormat format = OutputFormat::html;
	std::string output; // "-" is standard output; empty: the format's default
	int top = 10;
	SortKey sort = SortKey::total;
	std::vector<int> pids;
	std::vector<std::string> applications;
	bool reload = false;
	bool show_help = false;
	bool show_version = false;
};

// Parses argv; throws UsageError on anything it does not understand.
Options parse_options(int argc, char **argv);

// The --help text.
std::string usage_text();

// "total", "mean" ... as the command line spells them.
const char *sort_key_name(SortKey key);

// The output path to use when -o was not given.
std::string default_output(const Options &options);
