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
	opt_reload
};

long parse_number(const char *text, const char *what, long min, long max)
{
	char *end = nullptr;
	errno = 0;
	long value = std::strtol(text, &end, 10);
	if (errno != 0 || end == text || *end != '\0' || value < min || value > max)
		throw UsageError(std::string("invalid ") + what + ": \"" + text + "\"");
	return value;
}

SortKey parse_sort(const std::string &text)
{
	for (SortKey key : {SortKey::total, SortKey::mean, SortKey::calls, SortKey::rows, SortKey::io})
	{
		if (text == sort_key_name(key))
			return key;
	}
	throw UsageError("invalid sort key \"" + text + "\": use total, mean, calls, rows or io");
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
		case SortKey::total:
			return "total";
		case SortKey::mean:
			return "mean";
		case SortKey::calls:
			return "calls";
		case SortKey::rows:
			return "rows";
		case SortKey::io:
			return "io";
	}
	return "total";
}

std::string default_output(const Options &options)
{
	if (options.format == OutputFormat::text)
		return "-";
	return "vireo-" + options.trace_id + ".html";
}

std::string usage_text()
{
	return R"(vireo-report turns a vireo trace into a report: one self-contained HTML page,
or a ranked text summary.

Usage:
  vireo-report [OPTION]... TRACE_ID

Report options:
  -o, --output=FILE        write the report to FILE ("-" for standard output);
                           default: vireo-TRACE_ID.html, or standard output
                           for text
  -f, --format=FORMAT      html (default) or text
  -n, --top=N              how many statements to show in detail (default 10)
  -s, --sort=KEY           rank statements by total (default), mean, calls,
                           rows or io (blocks read plus temporary blocks)
      --pid=PID[,PID...]   only the statements of these server processes
                           (sessions); may be repeated
      --application=NAME   only the statements of sessions with this
                           application_name; may be repeated
      --reload             read the trace's files again from the start
                           (vr_load_trace's reload)

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
				if (std::strcmp(optarg, "html") == 0)
					options.format = OutputFormat::html;
				else if (std::strcmp(optarg, "text") == 0)
					options.format = OutputFormat::text;
				else
					throw UsageError(std::string("invalid format \"") + optarg +
					                 "\": use html or text");
				break;
			case 'n':
				options.top =
				    static_cast<int>(parse_number(optarg, "number of statements", 1, 1000));
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
	if (options.output.empty())
		options.output = default_output(options);
	return options;
}
