// Command-line parsing: the connection options every PostgreSQL client
// takes, then what to report and where.
#include "options.hpp"

#include "errors.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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
	opt_mode
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

std::string default_output(const Options &options)
{
	switch (options.format)
	{
		case OutputFormat::html:
			return "vireo-" + options.trace_id + ".html";
		case OutputFormat::csv:
			return "vireo-" + options.trace_id + ".csv";
		case OutputFormat::json:
			return "vireo-" + options.trace_id + ".json";
		case OutputFormat::text:
			break;
	}
	return "-";
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
  vireo-report [OPTION]... --list

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
	    {"version", no_argument, nullptr, 'V'},
	    {"help", no_argument, nullptr, '?'},
	    {nullptr, 0, nullptr, 0},
	};
	Options options;

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
		if (optind < argc)
			throw UsageError(std::string("--list takes no trace identifier (\"") + argv[optind] +
			                 "\")");
		if (options.output.empty())
			options.output = "-";
		return options;
	}
	if (optind >= argc)
		throw UsageError("no trace identifier given");
	options.trace_id = argv[optind++];
	if (optind < argc)
		throw UsageError(std::string("too many arguments (first extra one: \"") + argv[optind] +
		                 "\")");
	if (options.trace_id.size() != 20 ||
	    options.trace_id.find_first_not_of("0123456789") != std::string::npos)
		throw UsageError("\"" + options.trace_id +
		                 "\" is not a trace identifier: 20 digits, as vr_activate returns");
	if (options.calls && options.format != OutputFormat::csv && options.format != OutputFormat::json)
		throw UsageError("--calls goes with --format csv or json");
	if (options.reload)
		options.load = true;
	if (options.output.empty())
		options.output = default_output(options);
	return options;
}
