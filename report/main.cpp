// vireo-report: reads a trace's records from the server (streamed by
// vr_trace_records, or loaded with vr_load_trace), aggregates them in the
// client and writes an HTML page, a text summary, CSV or JSON.
#include "aggregate.hpp"
#include "connection.hpp"
#include "errors.hpp"
#include "format.hpp"
#include "options.hpp"
#include "output_file.hpp"
#include "progress.hpp"
#include "summary.hpp"
#include "trace_source.hpp"
#include "writers.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const char *const version = "vireo-report " VIREO_VERSION;

template <typename T>
std::string listed(const std::vector<T> &items, const std::string &quote = "")
{
	std::string out;
	for (const T &item : items)
	{
		std::string text;
		if constexpr (std::is_same_v<T, std::string>)
			text = item;
		else
			text = std::to_string(item);
		out += (out.empty() ? "" : ", ") + quote + text + quote;
	}
	return out;
}

std::string describe_focus(const Options &options)
{
	std::vector<std::string> parts;
	if (!options.pids.empty())
		parts.push_back("sessions (pid) " + listed(options.pids));
	if (!options.applications.empty())
		parts.push_back("application " + listed(options.applications, "\""));
	if (!options.users.empty())
		parts.push_back("user " + listed(options.users));
	if (!options.databases.empty())
		parts.push_back("database " + listed(options.databases));
	if (!options.from.empty())
		parts.push_back("from " + options.from);
	if (!options.to.empty())
		parts.push_back("to " + options.to);
	return listed(parts).empty() ? "" : [&parts] {
		std::string out;
		for (const std::string &p : parts)
			out += (out.empty() ? "" : "; ") + p;
		return out;
	}();
}

std::string sort_words(SortKey key)
{
	switch (key)
	{
		case SortKey::elapsed:
			return "elapsed time";
		case SortKey::execution:
			return "execution time";
		case SortKey::mean:
			return "mean elapsed time";
		case SortKey::io:
			return "io (blocks read and temporary blocks)";
		default:
			return sort_key_name(key);
	}
}

int terminal_width(const Options &options)
{
	struct winsize size;
	if (options.output == "-" && isatty(STDOUT_FILENO) &&
	    ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
		return size.ws_col;
	const char *columns = std::getenv("COLUMNS");
	if (columns != nullptr && std::atoi(columns) > 0)
		return std::atoi(columns);
	return 100;
}

std::map<uint32_t, std::string> all_names(Connection &db, const char *query)
{
	std::map<uint32_t, std::string> names;
	Result r = db.query(query);
	for (int i = 0; i < r.rows(); i++)
		names[static_cast<uint32_t>(r.integer(i, 0))] = r.text(i, 1);
	return names;
}

// Names of what exists in the trace, at most a few of each.
template <typename Set, typename Name>
std::string some(const Set &set, Name name)
{
	std::string out;
	size_t n = 0;
	for (const auto &item : set)
	{
		if (++n > 10)
		{
			out += ", ... (" + std::to_string(set.size()) + " in all)";
			break;
		}
		out += (out.empty() ? "" : ", ") + name(item);
	}
	return out.empty() ? "none" : out;
}

[[noreturn]] void nothing_to_report(Connection &db, const TraceSource &trace,
                                    const Aggregator &aggregator, const Options &options)
{
	const std::string &id = trace.info.id;
	if (aggregator.records() == 0)
	{
		int files = data_file_count(db, trace);
		if (files == 0)
			throw NothingToReport("nothing to report: trace " + id + " has no data files left");
		throw NothingToReport("nothing to report: trace " + id + " holds no statements" +
		                      (files < 0 ? " (its data files are empty, or were removed)" : ""));
	}
	auto users = all_names(db, "SELECT oid, rolname FROM pg_catalog.pg_roles");
	auto databases = all_names(db, "SELECT oid, datname FROM pg_catalog.pg_database");
	auto named = [](const std::map<uint32_t, std::string> &names) {
		return [&names](uint32_t oid) {
			auto found = names.find(oid);
			return found != names.end() ? found->second : std::to_string(oid);
		};
	};
	throw NothingToReport(
	    "nothing to report: no statement of trace " + id + " matches " + describe_focus(options) +
	    "; the trace has pids " + some(aggregator.all_pids(), [](int p) { return std::to_string(p); }) +
	    "; applications " +
	    some(aggregator.all_applications(), [](const std::string &a) { return "\"" + a + "\""; }) +
	    "; users " + some(aggregator.all_users(), named(users)) + "; databases " +
	    some(aggregator.all_databases(), named(databases)));
}

// One line when the server's module is of another release than this
// program: the report may then misread what the module wrote.  Modules
// before 1.1 do not give their release; a server that does not preload the
// module at all is refused later with its own message.  Recording is off
// first, so that the question does not land in a running trace.
void check_module_version(Connection &db, Progress &progress)
{
	db.run("SET vireo.enabled = off");
	Result r = db.query("SELECT pg_catalog.current_setting('vireo.version', true),"
	                    "       pg_catalog.current_setting('vireo.explain_format', true) IS NOT NULL");
	std::string module = r.null(0, 0) ? "" : r.text(0, 0);
	if (module == VIREO_VERSION || (module.empty() && !r.flag(0, 1)))
		return;
	progress.clear();
	std::fprintf(stderr, "vireo-report: warning: the server runs vireo %s; this is vireo-report %s\n",
	             module.empty() ? "older than 1.1" : module.c_str(), VIREO_VERSION);
}

int list(const Options &options, const OutputTarget &target)
{
	Progress progress(true);
	Connection db(options, progress);
	check_module_version(db, progress);
	progress.step("listing traces");
	OutputFile out(target);
	list_traces(db, options, out);
	progress.clear();
	out.commit();
	return 0;
}

int run(const Options &options)
{
	install_interrupt_handler();
	OutputTarget target = resolve_output(options.output, options.mode);
	if (options.list)
		return list(options, target);
	Progress progress(true);
	Connection db(options, progress);
	check_module_version(db, progress);
	TraceSource trace = find_trace(db, options, progress);
	Filter filter = resolve_filter(db, options);

	Report report;
	report.sort = sort_words(options.sort);
	report.sort_execution = options.sort == SortKey::execution;
	report.focus = describe_focus(options);
	report.merged_databases = options.merge_databases;

	Aggregator aggregator(filter, trace.info.json, options.merge_databases);
	std::optional<OutputFile> out;
	std::optional<CallWriter> calls;
	if (options.calls)
	{
		out.emplace(target);
		calls.emplace(options.format, *out, trace.info,
		              all_names(db, "SELECT oid, rolname FROM pg_catalog.pg_roles"),
		              all_names(db, "SELECT oid, datname FROM pg_catalog.pg_database"));
		aggregator.on_call = [&calls](const Call &call) { calls->add(call); };
	}
	read_trace(db, trace, options, progress, [&aggregator](TraceRecord &r) { aggregator.add(r); });
	aggregator.finish();
	if (aggregator.counted() == 0)
		nothing_to_report(db, trace, aggregator, options);

	progress.step("summarising statements");
	report.trace = trace.info;
	summarise(aggregator, options, db, report);
	report.notes = partial_data_notes(db, trace, report.overview);
	report.generated_at =
	    format_time(static_cast<int64_t>(std::time(nullptr)) * 1000000, "%Y-%m-%d %H:%M:%S", false, true);

	progress.step("writing");
	if (!out)
		out.emplace(target);
	switch (options.format)
	{
		case OutputFormat::html:
			write_html_report(report, *out);
			break;
		case OutputFormat::text:
			write_text_report(report, *out, terminal_width(options));
			break;
		case OutputFormat::csv:
			if (!options.calls)
				write_csv_statements(report, *out);
			break;
		case OutputFormat::json:
			write_json_report(report, *out, options.calls);
			break;
	}
	out->commit();
	progress.clear();
	if (progress.shown() && options.output != "-")
		std::fprintf(stderr, "vireo-report: wrote %s (%lld kB)\n", options.output.c_str(),
		             (out->bytes() + 1023) / 1024);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	Options options;
	try
	{
		options = parse_options(argc, argv);
		if (options.show_help)
		{
			std::fputs(usage_text().c_str(), stdout);
			return 0;
		}
		if (options.show_version)
		{
			std::printf("%s\n", version);
			return 0;
		}
		return run(options);
	}
	catch (const UsageError &e)
	{
		std::fprintf(stderr,
		             "vireo-report: %s\nTry \"vireo-report --help\" for more information.\n",
		             e.what());
		return 2;
	}
	catch (const Interrupted &)
	{
		// The progress line, if any, was cleared on the way out.
		std::fprintf(stderr, "vireo-report: interrupted; no report written\n");
		return 130;
	}
	catch (const NothingToReport &e)
	{
		std::fprintf(stderr, "vireo-report: %s\n", e.what());
		return 3;
	}
	catch (const std::exception &e)
	{
		std::fprintf(stderr, "vireo-report: %s\n", e.what());
		return 1;
	}
}
