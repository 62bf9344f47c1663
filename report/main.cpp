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
#include "sources.hpp"
#include "summary.hpp"
#include "trace_source.hpp"
#include "writers.hpp"

#include <algorithm>
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

[[noreturn]] void nothing_to_report(std::vector<Source> &sources, const NameBook &names,
                                    const Aggregator &aggregator, const Options &options)
{
	if (aggregator.records() == 0)
	{
		if (sources.size() > 1)
			throw NothingToReport("nothing to report: none of the traces holds a statement");
		Source &s = sources.front();
		const std::string &id = s.trace.info.id;
		int files = data_file_count(*s.db, s.trace);
		if (files == 0)
			throw NothingToReport("nothing to report: trace " + id + " has no data files left");
		throw NothingToReport("nothing to report: trace " + id + " holds no statements" +
		                      (files < 0 ? " (its data files are empty, or were removed)" : ""));
	}
	std::string traces = sources.size() > 1 ? "the traces" : "trace " + sources.front().trace.info.id;
	throw NothingToReport(
	    "nothing to report: no statement of " + traces + " matches " + describe_focus(options) +
	    "; " + (sources.size() > 1 ? "they have" : "the trace has") + " pids " +
	    some(aggregator.all_pids(), [](int p) { return std::to_string(p); }) + "; applications " +
	    some(aggregator.all_applications(), [](const std::string &a) { return "\"" + a + "\""; }) +
	    "; users " + some(aggregator.all_users(), [&names](uint32_t id) { return names.role_name(id); }) +
	    "; databases " +
	    some(aggregator.all_databases(), [&names](uint32_t id) { return names.database_name(id); }));
}

// A comparison matches plans node by node: both traces must record them in
// one form.
void check_comparable(const std::vector<Source> &sources)
{
	const TraceInfo &old_trace = sources[0].trace.info;
	const TraceInfo &new_trace = sources[1].trace.info;
	if (old_trace.json != new_trace.json)
		throw Failure("trace " + old_trace.id + " has " + (old_trace.json ? "JSON" : "text") +
		              " plans and trace " + new_trace.id + " " + (new_trace.json ? "JSON" : "text") +
		              " plans: --compare needs two traces of one plan format");
}

// With several sources: what each one is, and what the report misses of it.
std::vector<SourcePart> source_parts(const std::vector<Source> &sources)
{
	std::vector<SourcePart> parts;
	for (const Source &s : sources)
	{
		SourcePart part;
		part.label = s.label;
		part.unreachable = s.unreachable;
		part.trace = s.trace.info;
		parts.push_back(std::move(part));
	}
	return parts;
}

std::vector<std::string> notes_of(std::vector<Source> &sources, Report &report)
{
	if (sources.size() == 1)
		return partial_data_notes(*sources.front().db, sources.front().trace, report.overview);
	std::vector<std::string> notes;
	for (size_t i = 0; i < sources.size(); i++)
	{
		Source &s = sources[i];
		SourcePart &part = report.sources[i];
		if (!s.db)
		{
			notes.push_back(s.label + " could not be reached (" + s.unreachable + "): its trace " +
			                s.spec.trace_id + " is not in this report.");
			continue;
		}
		part.notes = partial_data_notes(*s.db, s.trace, part.overview);
		for (const std::string &note : part.notes)
			notes.push_back((report.compare ? std::string(i == 0 ? "old" : "new") + " trace (" + s.label + ")"
			                                : s.label) +
			                ": " + note);
	}
	return notes;
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
	std::vector<Source> sources = open_sources(options, progress);
	if (options.compare)
		check_comparable(sources);
	NameBook names = read_names(sources);
	Filter filter = resolve_filter(sources, names, options);

	Report report;
	report.sort = sort_words(options.sort);
	report.sort_execution = options.sort == SortKey::execution;
	report.focus = describe_focus(options);
	report.merged_databases = options.merge_databases;
	report.compare = options.compare;
	if (sources.size() > 1)
		report.sources = source_parts(sources);

	std::vector<bool> json;
	std::vector<Connection *> servers;
	std::vector<std::string> labels;
	for (const Source &s : sources)
	{
		json.push_back(s.trace.info.json);
		servers.push_back(s.db.get());
		if (sources.size() > 1)
			labels.push_back(options.compare ? (labels.empty() ? "old" : "new") : s.label);
	}
	Aggregator aggregator(filter, json, options.merge_databases, names, options.compare);
	std::optional<OutputFile> out;
	std::optional<CallWriter> calls;
	const Source &first = *std::find_if(sources.begin(), sources.end(),
	                                    [](const Source &s) { return s.db != nullptr; });
	if (options.calls)
	{
		out.emplace(target);
		calls.emplace(options.format, *out, first.trace.info, names, labels);
		aggregator.on_call = [&calls](const Call &call) { calls->add(call); };
	}
	for (size_t i = 0; i < sources.size(); i++)
	{
		Source &s = sources[i];
		if (!s.db)
			continue;
		read_trace(*s.db, s.trace, options, progress, [&aggregator, &names, i](TraceRecord &r) {
			r.source = static_cast<int>(i);
			r.user_id = names.role(i, r.user_id);
			r.db_id = names.database(i, r.db_id);
			aggregator.add(r);
		});
		if (sources.size() > 1)
			report.sources[i].trace = s.trace.info;
	}
	aggregator.finish();
	if (aggregator.counted() == 0)
		nothing_to_report(sources, names, aggregator, options);

	progress.step("summarising statements");
	report.trace = first.trace.info;
	summarise(aggregator, options, names, servers, report);
	report.notes = notes_of(sources, report);
	report.generated_at =
	    format_time(static_cast<int64_t>(std::time(nullptr)) * 1000000, "%Y-%m-%d %H:%M:%S", false, true);

	progress.step("writing");
	if (!out)
		out.emplace(target);
	if (report.compare)
		write_comparison(report, options, *out, terminal_width(options));
	else
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
