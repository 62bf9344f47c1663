// vireo-report: loads a trace into its own session with vr_load_trace and
// writes it as an HTML page or a ranked text summary.
#include "connection.hpp"
#include "errors.hpp"
#include "options.hpp"
#include "output_file.hpp"
#include "progress.hpp"
#include "summary.hpp"
#include "trace_source.hpp"
#include "writers.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char *const version = "vireo-report " VIREO_VERSION;

std::string describe_focus(const Options &options)
{
	std::string focus;
	if (!options.pids.empty())
	{
		focus = "sessions (pid)";
		for (size_t i = 0; i < options.pids.size(); i++)
			focus += (i == 0 ? " " : ", ") + std::to_string(options.pids[i]);
	}
	if (!options.applications.empty())
	{
		focus += focus.empty() ? "application " : "; application ";
		for (size_t i = 0; i < options.applications.size(); i++)
			focus += (i == 0 ? "" : ", ") + ("\"" + options.applications[i] + "\"");
	}
	return focus;
}

// Refuses early an output path whose directory cannot take the file, rather
// than after a long load.
void check_output_directory(const std::string &path)
{
	if (path == "-")
		return;
	size_t slash = path.rfind('/');
	std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
	if (access(dir.c_str(), W_OK) != 0)
		throw Failure("cannot write the report into \"" + dir + "\": " + std::strerror(errno));
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

int run(const Options &options)
{
	check_output_directory(options.output);
	install_interrupt_handler();
	Progress progress(true);
	Connection db(options, progress);
	check_module_version(db, progress);

	Report report;
	LoadedTrace trace = load_trace(db, options, progress);
	report.trace = trace.info;
	report.sort = std::string(sort_key_name(options.sort)) +
	              (options.sort == SortKey::io ? " (blocks read and temporary blocks)"
	               : options.sort == SortKey::total || options.sort == SortKey::mean ? " time"
	                                                                                 : "");
	report.focus = describe_focus(options);

	progress.step("summarising statements");
	build_statement_table(db, trace, options);
	report.overview = read_overview(db);
	progress.step("drawing the timeline");
	report.timeline = read_timeline(db, report.overview);
	progress.step("ranking statements");
	report.top = read_top_statements(db, options);
	progress.step("reading plans");
	read_plans(db, report.trace, report.top);
	report.lanes = read_lanes(db, report.overview, report.timeline, report.top);
	report.notes = partial_data_notes(db, trace, report.overview);
	report.generated_at =
	    db.query("SELECT to_char(now(), $1)", {std::string(timestamp_format)}).text(0, 0);

	progress.step("writing");
	OutputFile out(options.output);
	if (options.format == OutputFormat::html)
		write_html_report(report, out);
	else
		write_text_report(report, out);
	out.commit();
	progress.clear();
	if (progress.shown() && options.output != "-")
		std::fprintf(stderr, "vireo-report: wrote %s (%lld kB)\n", options.output.c_str(),
		             (out.bytes() + 1023) / 1024);
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
		std::fprintf(stderr, "\nvireo-report: interrupted; no report written\n");
		return 130;
	}
	catch (const std::exception &e)
	{
		std::fprintf(stderr, "vireo-report: %s\n", e.what());
		return 1;
	}
}
