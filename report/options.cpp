// Command-line parsing: the connection options every PostgreSQL client
// takes, then what to report and where.
#include "options.hpp"

#include "errors.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <getopt.h>

namespace {

enum LongOnly
{
	opt_pid = 1000,
	opt_application,
	opt_reload,
	opt_user,
	opt_database,
	opt_from,
	opt_to,
	opt_list,
	opt_calls,
	opt_merge_databases,
	opt_load,
	opt_mode,
	opt_source,
	opt_compare
};

long parse_number(const char *text, const char *what, long min, long max)
{
	char *end = nullptr;
	errno = 0;
	long value = std::strtol(text, &end, 10);
	if (errno != 0 || end == text || *end != '\0' || value < min || value > max)
		throw UsageError(std::string("invalid ") + what + ": \"" + text + "\" (" +
		                 std::to_string(min) + " to " + std::to_string(max) + ")");
	return value;
}

SortKey parse_sort(const std::string &text)
{
	// "total" is what earlier versions called the total time.
	if (text == "total")
		return SortKey::elapsed;
	for (SortKey key : {SortKey::elapsed, SortKey::execution, SortKey::mean, SortKey::calls,
	                    SortKey::rows, SortKey::io})
	{
		if (text == sort_key_name(key))
			return key;
	}
	throw UsageError("invalid sort key \"" + text +
	                 "\": use elapsed, execution, mean, calls, rows or io");
}

OutputFormat parse_format(const std::string &text)
{
	if (text == "html")
		return OutputFormat::html;
	if (text == "text")
		return OutputFormat::text;
	if (text == "csv")
		return OutputFormat::csv;
	if (text == "json")
		return OutputFormat::json;
	throw UsageError("invalid format \"" + text + "\": use html, text, csv or json");
}

int parse_mode(const char *text)
{
	char *end = nullptr;
	errno = 0;
	long mode = std::strtol(text, &end, 8);
	if (errno != 0 || end == text || *end != '\0' || mode < 0 || mode > 0777)
		throw UsageError(std::string("invalid mode \"") + text +
		                 "\": an octal file mode such as 0600 or 644");
	return static_cast<int>(mode);
}

// Accepts "123", and lists "123,456" as well as repeated options.
void add_pids(std::vector<int> &pids, const char *arg)
{
	std::string list(arg);
	size_t start = 0;
	while (start <= list.size())
	{
		size_t comma = list.find(',', start);
		std::string item =
		    list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
		pids.push_back(static_cast<int>(parse_number(item.c_str(), "process id", 1, INT_MAX)));
		if (comma == std::string::npos)
			break;
		start = comma + 1;
	}
}

} // namespace

const char *sort_key_name(SortKey key)
{
	switch (key)
	{
		case SortKey::elapsed:
			return "elapsed";
		case SortKey::execution:
			return "execution";
		case SortKey::mean:
			return "mean";
		case SortKey::calls:
			return "calls";
		case SortKey::rows:
			return "rows";
		case SortKey::io:
			return "io";
	}
	return "elapsed";
}

namespace {

std::string output_stem(const Options &options)
{
	if (options.compare && options.sources.size() == 2)
		return "vireo-" + options.sources[0].trace_id + "-vs-" + options.sources[1].trace_id;
	std::string stem = "vireo";
	std::vector<std::string> seen;
	for (const SourceSpec &s : options.sources)
	{
		if (std::find(seen.begin(), seen.end(), s.trace_id) != seen.end())
			continue;
		seen.push_back(s.trace_id);
		stem += (seen.size() == 1 ? "-" : "+") + s.trace_id;
	}
	return stem;
}

void check_trace_id(const std::string &id)
{
	if (id.size() != 20 || id.find_first_not_of("0123456789") != std::string::npos)
		throw UsageError("\"" + id + "\" is not a trace identifier: 20 digits, as vr_activate returns");
}

} // namespace

std::string default_output(const Options &options)
{
	switch (options.format)
	{
		case OutputFormat::html:
			return output_stem(options) + ".html";
		case OutputFormat::csv:
			return output_stem(options) + ".csv";
		case OutputFormat::json:
			return output_stem(options) + ".json";
		case OutputFormat::text:
			break;
	}
	return "-";
}

bool several_traces(const Options &options)
{
	return options.sources.size() > 1 || options.compare;
}

bool has_filters(const Options &options)
{
	return !options.pids.empty() || !options.applications.empty() || !options.users.empty() ||
	       !options.databases.empty() || !options.from.empty() || !options.to.empty();
}

std::string usage_text()
{
	return R"(vireo-report turns a vireo trace into a report: one self-contained HTML page,
a text summary for a terminal, or CSV or JSON for other tools.

Usage:
  vireo-report [OPTION]... TRACE_ID
  vireo-report [OPTION]... --source CONNINFO TRACE_ID [--source CONNINFO TRACE_ID]...
  vireo-report [OPTION]... --compare OLD_TRACE_ID NEW_TRACE_ID
  vireo-report [OPTION]... --list

Several servers, and before against after:
      --source CONNINFO TRACE_ID
                           report on the trace TRACE_ID of the server that the
                           connection string or URI CONNINFO names; repeated,
                           one page covers every server, each number split by
                           server (a TRACE_ID given alone is read over the
                           connection options below)
      --compare            compare two traces, the older first: given alone
                           (both on one server) or with --source each

Report options:
  -o, --output=FILE        write the report to FILE ("-" for standard output);
                           default: vireo-TRACE_ID.html (.csv, .json), or
                           standard output for text
      --mode=MODE          file mode of a new output file (default 0600)
  -f, --format=FORMAT      html (default), text, csv or json
      --calls              csv, json: one row per execution as well (json) or
                           instead of the statements (csv)
  -n, --top=N              how many statements to show in detail, 1 to 1000
                           (default 10; csv and json: all unless given)
  -s, --sort=KEY           rank statements by elapsed (default) or execution
                           time, mean elapsed time, calls, rows or io (blocks
                           read plus temporary blocks)
      --merge-databases    the same statement in several databases is one
      --pid=PID[,PID...]   only the statements of these server processes
                           (sessions); may be repeated
      --application=NAME   only the statements of sessions with this
                           application_name; may be repeated
      --user=ROLE          only the statements run by this role; may be
                           repeated
      --database=NAME      only the statements run in this database; may be
                           repeated
      --from=TIME          only the statements that started at TIME or later
      --to=TIME            only the statements that started before TIME
                           (TIME as the server reads a timestamptz)
      --load               load the trace into the session's analysis tables
                           with vr_load_trace and report from there
      --reload             load (as --load), reading the trace's files again
                           from the start (vr_load_trace's reload)
      --list               list the traces this role may report on, and exit

Connection options:
  -h, --host=HOSTNAME      database server host or socket directory
  -p, --port=PORT          database server port
  -U, --username=USERNAME  database user name
  -d, --dbname=DBNAME      database to connect to; may be a connection string
                           or URI
  -w, --no-password        never prompt for a password
  -W, --password           prompt for a password before connecting

Other options:
  -V, --version            print the version and exit
  -?, --help               show this help and exit

The PG* environment variables (PGHOST, PGPORT, PGUSER, PGDATABASE,
PGPASSWORD, PGSERVICE, ...) and ~/.pgpass are used as by psql.
Exit status: 0 report written, 1 failure, 2 wrong command line, 3 nothing to
report (no output written), 130 interrupted.
)";
}

Options parse_options(int argc, char **argv)
{
	static const struct option long_options[] = {
	    {"host", required_argument, nullptr, 'h'},
	    {"port", required_argument, nullptr, 'p'},
	    {"username", required_argument, nullptr, 'U'},
	    {"dbname", required_argument, nullptr, 'd'},
	    {"no-password", no_argument, nullptr, 'w'},
	    {"password", no_argument, nullptr, 'W'},
	    {"output", required_argument, nullptr, 'o'},
	    {"format", required_argument, nullptr, 'f'},
	    {"top", required_argument, nullptr, 'n'},
	    {"sort", required_argument, nullptr, 's'},
	    {"pid", required_argument, nullptr, opt_pid},
	    {"application", required_argument, nullptr, opt_application},
	    {"reload", no_argument, nullptr, opt_reload},
	    {"user", required_argument, nullptr, opt_user},
	    {"database", required_argument, nullptr, opt_database},
	    {"from", required_argument, nullptr, opt_from},
	    {"to", required_argument, nullptr, opt_to},
	    {"list", no_argument, nullptr, opt_list},
	    {"calls", no_argument, nullptr, opt_calls},
	    {"merge-databases", no_argument, nullptr, opt_merge_databases},
	    {"load", no_argument, nullptr, opt_load},
	    {"mode", required_argument, nullptr, opt_mode},
	    {"source", required_argument, nullptr, opt_source},
	    {"compare", no_argument, nullptr, opt_compare},
	    {"version", no_argument, nullptr, 'V'},
	    {"help", no_argument, nullptr, '?'},
	    {nullptr, 0, nullptr, 0},
	};
	Options options;
	// Where each trace stands on the command line, so that --compare takes
	// them in the order given, whether named alone or with --source.
	std::vector<std::pair<int, SourceSpec>> traces;
	const std::vector<char *> original(argv, argv + argc);
	auto position_of = [&original](const char *arg) {
		return static_cast<int>(std::find(original.begin(), original.end(), arg) - original.begin());
	};

	opterr = 0;
	optind = 1;
	int c;
	while ((c = getopt_long(argc, argv, ":h:p:U:d:wWo:f:n:s:V?", long_options, nullptr)) != -1)
	{
		switch (c)
		{
			case 'h':
				options.host = optarg;
				break;
			case 'p':
				options.port = optarg;
				break;
			case 'U':
				options.user = optarg;
				break;
			case 'd':
				options.dbname = optarg;
				break;
			case 'w':
				options.prompt = PasswordPrompt::never;
				break;
			case 'W':
				options.prompt = PasswordPrompt::always;
				break;
			case 'o':
				if (*optarg == '\0')
					throw UsageError("the output file name is empty");
				options.output = optarg;
				break;
			case 'f':
				options.format = parse_format(optarg);
				break;
			case 'n':
				options.top =
				    static_cast<int>(parse_number(optarg, "number of statements", 1, 1000));
				options.top_given = true;
				break;
			case 's':
				options.sort = parse_sort(optarg);
				break;
			case opt_pid:
				add_pids(options.pids, optarg);
				break;
			case opt_application:
				options.applications.push_back(optarg);
				break;
			case opt_reload:
				options.reload = true;
				break;
			case opt_user:
				options.users.push_back(optarg);
				break;
			case opt_database:
				options.databases.push_back(optarg);
				break;
			case opt_from:
				options.from = optarg;
				break;
			case opt_to:
				options.to = optarg;
				break;
			case opt_list:
				options.list = true;
				break;
			case opt_calls:
				options.calls = true;
				break;
			case opt_merge_databases:
				options.merge_databases = true;
				break;
			case opt_load:
				options.load = true;
				break;
			case opt_mode:
				options.mode = parse_mode(optarg);
				break;
			case opt_source:
			{
				// The option's second argument, the trace, is taken here;
				// getopt counts it among the arguments it has processed.
				if (optind >= argc || argv[optind][0] == '-')
					throw UsageError("--source takes a connection string and a trace identifier");
				if (*optarg == '\0')
					throw UsageError("the connection string of --source is empty");
				SourceSpec spec{optarg, true, argv[optind]};
				check_trace_id(spec.trace_id);
				traces.emplace_back(position_of(argv[optind]), spec);
				optind++;
				break;
			}
			case opt_compare:
				options.compare = true;
				break;
			case 'V':
				options.show_version = true;
				return options;
			case '?':
				if (std::strcmp(argv[optind - 1], "-?") == 0 ||
				    std::strcmp(argv[optind - 1], "--help") == 0)
				{
					options.show_help = true;
					return options;
				}
				throw UsageError(std::string("unknown option \"") + argv[optind - 1] + "\"");
			case ':':
				throw UsageError(std::string("option \"") + argv[optind - 1] +
				                 "\" needs an argument");
			default:
				throw UsageError("unknown option");
		}
	}
	if (options.list)
	{
		if (!traces.empty() || options.compare)
			throw UsageError("--list takes no trace, --source or --compare");
		if (optind < argc)
			throw UsageError(std::string("--list takes no trace identifier (\"") + argv[optind] +
			                 "\")");
		if (options.output.empty())
			options.output = "-";
		return options;
	}
	for (; optind < argc; optind++)
	{
		check_trace_id(argv[optind]);
		traces.emplace_back(position_of(argv[optind]), SourceSpec{"", false, argv[optind]});
	}
	if (traces.empty())
		throw UsageError("no trace identifier given");
	std::stable_sort(traces.begin(), traces.end(),
	                 [](const auto &a, const auto &b) { return a.first < b.first; });
	for (auto &t : traces)
		options.sources.push_back(std::move(t.second));
	size_t alone = static_cast<size_t>(std::count_if(
	    options.sources.begin(), options.sources.end(), [](const SourceSpec &s) { return !s.own_connection; }));
	if (options.compare && options.sources.size() != 2)
		throw UsageError("--compare takes two traces, the older first (" +
		                 std::to_string(options.sources.size()) + " given)");
	if (!options.compare && alone > 1)
		throw UsageError("one trace per server: give the traces of other servers with --source "
		                 "CONNINFO TRACE_ID, or compare two with --compare");
	options.trace_id = options.sources.front().trace_id;
	if (options.calls && options.format != OutputFormat::csv && options.format != OutputFormat::json)
		throw UsageError("--calls goes with --format csv or json");
	if (options.reload)
		options.load = true;
	if (options.output.empty())
		options.output = default_output(options);
	return options;
}
