// The HTML page, written section by section.
#include "charts.hpp"
#include "aggregate.hpp"
#include "format.hpp"
#include "html_parts.hpp"
#include "trace_source.hpp"
#include "writers.hpp"

#include <algorithm>
#include <cmath>

std::string esc(std::string_view text)
{
	return html_escape(text);
}

std::string cell(double exact, const std::string &shown)
{
	return "<td class=\"n\" data-v=\"" + fixed(exact, 6) + "\">" + shown + "</td>";
}

std::string cell(long long exact)
{
	return "<td class=\"n\" data-v=\"" + std::to_string(exact) + "\">" + with_separators(exact) +
	       "</td>";
}

std::string tile(const std::string &key, const std::string &value, const std::string &sub)
{
	return "<div class=\"tile\"><div class=\"k\">" + esc(key) + "</div><div class=\"v\">" +
	       esc(value) + "</div><div class=\"s\">" + esc(sub) + "</div></div>";
}

std::string fact(const std::string &key, const std::string &value_html)
{
	return "<tr><th>" + esc(key) + "</th><td>" + value_html + "</td></tr>";
}

std::string swatch(int rank)
{
	return std::string("<span class=\"swatch\" style=\"background:") + statement_colour(rank) +
	       "\"></span>";
}

std::string server_swatch(size_t index)
{
	return std::string("<span class=\"swatch\" style=\"background:") + server_colour(index) +
	       "\"></span>";
}

void write_page_start(OutputFile &out, const std::string &title, const std::string &kicker,
                      const std::string &heading, const std::string &sub_html)
{
	out << "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n"
	    << "<meta charset=\"utf-8\"/>\n"
	    << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n"
	    << "<meta name=\"generator\" content=\"vireo-report\"/>\n"
	    << "<title>" << esc(title) << "</title>\n<style>" << page_style
	    << "</style>\n</head>\n<body>\n"
	    << "<header class=\"page\"><div class=\"wrap\">"
	    << "<div class=\"kicker\">" << esc(kicker) << "</div>"
	    << "<h1>" << esc(heading) << "</h1>"
	    << "<div class=\"sub\">" << sub_html << "</div></div></header>\n<main class=\"wrap\">\n";
}

std::string failed_words(long long failed, const std::vector<std::pair<std::string, long long>> &sqlstates)
{
	if (failed == 0)
		return "";
	std::string words = with_separators(failed) + " failed:";
	size_t shown = 0;
	for (const auto &state : sqlstates)
	{
		if (++shown > 4)
		{
			words += ", \xE2\x80\xA6";
			break;
		}
		words += (shown > 1 ? ", " : " ") + state.first +
		         (state.second > 1 ? " \xC3\x97" + with_separators(state.second) : "");
	}
	return words;
}

namespace {

void write_head(const Report &r, OutputFile &out)
{
	const TraceInfo &t = r.trace;
	if (r.sources.size() > 1)
	{
		std::string sub;
		std::vector<std::string> comments;
		for (const SourcePart &p : r.sources)
		{
			sub += (sub.empty() ? "" : " \xC2\xB7 ") + std::string("trace <code>") + esc(p.trace.id) +
			       "</code> on " + esc(p.label);
			if (!p.trace.comment.empty() &&
			    std::find(comments.begin(), comments.end(), p.trace.comment) == comments.end())
				comments.push_back(p.trace.comment);
		}
		std::string heading;
		for (const std::string &c : comments)
			heading += (heading.empty() ? "" : " \xC2\xB7 ") + c;
		write_page_start(out, "vireo report: " + std::to_string(r.sources.size()) + " servers",
		                 "vireo trace report \xC2\xB7 " + std::to_string(r.sources.size()) + " servers",
		                 heading.empty() ? "(no comment)" : heading,
		                 sub + " \xC2\xB7 generated " + esc(r.generated_at));
		return;
	}
	std::string title = t.comment.empty() ? "trace " + t.id : t.comment;
	write_page_start(out, "vireo report: " + title, "vireo trace report",
	                 t.comment.empty() ? "(no comment)" : t.comment,
	                 "trace <code>" + esc(t.id) + "</code> \xC2\xB7 database " + esc(t.database) +
	                     " on " + esc(t.server) + " \xC2\xB7 generated " + esc(r.generated_at));
}

// The page's first answer: the statement that took most time, its share
// and where its slowest execution spent it.
void write_answer(const Report &r, OutputFile &out)
{
	out << "<section class=\"answer\" id=\"answer\">";
	if (r.top.empty())
	{
		out << "<p>No statements.</p></section>\n";
		return;
	}
	const Statement &s = r.top.front();
	double part = r.sort_execution ? s.execution_ms : s.elapsed_ms;
	double whole = r.sort_execution ? r.overview.execution_ms : r.overview.elapsed_ms;
	out << "<p class=\"headline\"><span class=\"big\">" << percent(part, whole) << "</span> of "
	    << (r.sort_execution ? "execution" : "elapsed") << " time went to <a href=\"#s1\">"
	    << swatch(1) << "<code>" << esc(one_line_text(s.short_text, 120)) << "</code></a>: "
	    << human_ms(part) << " in " << with_separators(s.calls) << (s.calls == 1 ? " call" : " calls")
	    << ", " << human_ms(s.mean_ms) << " each on average";
	int hot = s.plan.hottest();
	if (hot >= 0)
	{
		const PlanNode &n = s.plan.nodes[static_cast<size_t>(hot)];
		out << "; its slowest execution spent " << percent(n.self_ms, s.plan.whole_ms()) << " in <b>"
		    << esc(n.label) << "</b>";
	}
	else if (std::string_view state, message; failure_of(s.plan.note, state, message))
		out << "; its slowest execution failed (" << esc(state) << ": "
		    << esc(one_line_text(message, 140)) << ")";
	else if (!s.plan.note.empty())
		out << "; its slowest execution: " << esc(one_line_text(s.plan.note, 160));
	if (r.sort_execution ? false : s.elapsed_ms > 1.5 * s.execution_ms && s.elapsed_ms - s.execution_ms > 1)
		out << " (" << percent(s.elapsed_ms - s.execution_ms, s.elapsed_ms)
		    << " of its elapsed time was outside the executor: parsing, planning, lock waits)";
	out << ".</p>";
	if (r.top.size() > 1)
	{
		out << "<p class=\"then\">Next: ";
		for (size_t i = 1; i < r.top.size() && i < 3; i++)
		{
			const Statement &n = r.top[i];
			out << (i > 1 ? "; " : "") << "<a href=\"#s" << std::to_string(n.rank) << "\">#"
			    << std::to_string(n.rank) << "</a> "
			    << percent(r.sort_execution ? n.execution_ms : n.elapsed_ms, whole) << " <code>"
			    << esc(one_line_text(n.short_text, 60)) << "</code>";
		}
		out << ".</p>";
	}
	out << "</section>\n";
}

void write_breakdown(const std::string &title, const std::vector<Breakdown> &rows,
                     const Report &r, OutputFile &out)
{
	out << "<table class=\"breakdown\"><thead><tr><th>" << esc(title)
	    << "</th><th class=\"n\">Calls</th><th class=\"n\">Elapsed</th><th "
	       "class=\"n\">Share</th><th class=\"n\">Statements</th></tr></thead><tbody>";
	size_t shown = 0;
	for (const Breakdown &b : rows)
	{
		if (++shown > 12)
		{
			out << "<tr><td class=\"muted\" colspan=\"5\">" << with_separators(static_cast<long long>(rows.size() - 12))
			    << " more</td></tr>";
			break;
		}
		out << "<tr><td class=\"name\">" << esc(b.name) << "</td>" << cell(b.calls)
		    << cell(b.elapsed_ms, human_ms(b.elapsed_ms)) << "<td class=\"n\">"
		    << percent(b.elapsed_ms, r.overview.all_elapsed_ms) << "</td>" << cell(b.statements)
		    << "</tr>";
	}
	out << "</tbody></table>";
}

// Statements that ended in an error: how many of each SQLSTATE, and the
// slowest of them with their messages.
void write_failures(const Report &r, OutputFile &out)
{
	if (r.failures.empty())
		return;
	out << "<section id=\"failed\"><h2>Failed statements <span class=\"count\">"
	    << with_separators(r.overview.failed) << " calls ended in an error</span></h2>\n"
	    << "<table class=\"failures\"><thead><tr><th>SQLSTATE</th><th class=\"n\">Calls</th>"
	       "<th class=\"n\">Elapsed</th><th class=\"n\">Statements</th><th>Message (of the slowest)</th>"
	       "</tr></thead><tbody>\n";
	for (const FailureRow &f : r.failures)
		out << "<tr><td><code>" << esc(f.sqlstate) << "</code></td>" << cell(f.calls)
		    << cell(f.elapsed_ms, human_ms(f.elapsed_ms)) << cell(f.statements) << "<td class=\"msg\">"
		    << esc(f.message) << "</td></tr>\n";
	out << "</tbody></table>\n<h4>The slowest failed calls</h4>\n"
	    << "<table class=\"failures\"><thead><tr><th class=\"n\">Elapsed</th><th>Ended</th>"
	    << (r.sources.size() > 1 ? "<th>Server</th>" : "")
	    << "<th class=\"n\">pid</th><th>SQLSTATE</th><th>Message</th><th>Statement</th></tr></thead><tbody>\n";
	for (const FailedCallRow &c : r.failed_calls)
	{
		out << "<tr data-statement=\"" << esc(c.key) << "\">" << cell(c.elapsed_ms, human_ms(c.elapsed_ms))
		    << "<td>" << esc(c.ended) << "</td>"
		    << (r.sources.size() > 1 ? "<td>" + esc(c.server) + "</td>" : "")
		    << "<td class=\"n\">" << std::to_string(c.pid) << "</td>"
		    << "<td><code>" << esc(c.sqlstate) << "</code></td><td class=\"msg\">" << esc(c.message)
		    << "</td><td class=\"text\">";
		if (c.rank > 0)
			out << "<a href=\"#s" << std::to_string(c.rank) << "\">" << swatch(c.rank) << "#"
			    << std::to_string(c.rank) << "</a> ";
		out << "<code>" << esc(one_line_text(c.short_text, 100)) << "</code></td></tr>\n";
	}
	out << "</tbody></table></section>\n";
}

// One row per server: its trace and what it gave.
void write_servers(const Report &r, OutputFile &out)
{
	out << "<table class=\"servers\"><thead><tr><th>Server</th><th>Trace</th><th>Status</th>"
	       "<th class=\"n\">Statements</th><th class=\"n\">Normalized</th><th class=\"n\">Sessions</th>"
	       "<th class=\"n\">Elapsed</th><th class=\"n\">Share</th><th class=\"n\">Execution</th>"
	       "<th class=\"n\">Failed</th><th>Busiest second</th><th class=\"n\">Span</th></tr></thead><tbody>\n";
	for (size_t i = 0; i < r.sources.size(); i++)
	{
		const SourcePart &p = r.sources[i];
		const Overview &o = p.overview;
		out << "<tr data-server=\"" << esc(p.label) << "\"><td class=\"server\">" << server_swatch(i)
		    << esc(p.label) << "</td><td><code>" << esc(p.trace.id) << "</code>";
		if (!p.unreachable.empty())
		{
			out << "</td><td colspan=\"10\" class=\"muted\">could not be reached: " << esc(p.unreachable)
			    << "</td></tr>\n";
			continue;
		}
		out << "<span class=\"where\">" << esc(p.trace.comment) << " \xC2\xB7 "
		    << (p.trace.json ? "JSON" : "text") << " plans \xC2\xB7 "
		    << (p.trace.loaded ? "loaded " : "streamed ") << esc(p.trace.read_at)
		    << (sampling_words(p.trace).empty() ? "" : " \xC2\xB7 " + esc(sampling_words(p.trace)))
		    << "</span></td><td>" << esc(status_text(p.trace.status)) << "</td>" << cell(o.statements)
		    << cell(o.normalized) << cell(o.sessions) << cell(o.elapsed_ms, human_ms(o.elapsed_ms))
		    << "<td class=\"n\">" << percent(o.elapsed_ms, r.overview.elapsed_ms) << "</td>"
		    << cell(o.execution_ms, human_ms(o.execution_ms)) << cell(o.failed) << "<td>"
		    << esc(o.busiest_second.empty() ? "-" : o.busiest_second.substr(11, 8)) << "</td>"
		    << cell((o.last_s - o.first_s) * 1000.0, o.statements > 0 ? human_ms((o.last_s - o.first_s) * 1000.0) : "-")
		    << "</tr>\n";
	}
	out << "</tbody></table>\n";
}

void write_overview(const Report &r, OutputFile &out)
{
	const TraceInfo &t = r.trace;
	const Overview &o = r.overview;
	bool several = r.sources.size() > 1;
	out << "<section id=\"overview\"><h2>Overview" << (several ? " <span class=\"count\">all servers, then each</span>" : "")
	    << "</h2>\n<div class=\"tiles\">"
	    << tile("Statements", with_separators(o.statements),
	            with_separators(o.normalized) + " normalized, " + with_separators(o.distinct) +
	                " distinct texts")
	    << tile("Sessions", with_separators(o.sessions), "server processes")
	    << tile("Elapsed", human_ms(o.elapsed_ms),
	            o.nested > 0 ? "top-level; " + with_separators(o.nested) + " nested statements inside"
	                         : "statements' start to end")
	    << tile("Execution", human_ms(o.execution_ms), "in the executor (plans)")
	    << tile("Busiest second", o.busiest_second.empty() ? "-" : o.busiest_second.substr(11, 8),
	            o.busiest_second.empty() ? ""
	                                     : human_ms(o.busiest_busy_ms) + " in statements, " +
	                                           with_separators(o.busiest_statements) + " ended")
	    << tile("Span", o.statements > 0 ? human_ms((o.last_s - o.first_s) * 1000.0) : "-",
	            "first start to last end")
	    << "</div>\n";
	if (several)
	{
		write_servers(r, out);
		out << "<div class=\"facts-wrap\"><table class=\"facts\">"
		    << fact("First statement", esc(o.first.empty() ? "-" : o.first))
		    << fact("Last statement", esc(o.last.empty() ? "-" : o.last))
		    << "</table><table class=\"facts\">" << fact("Ranked by", esc(r.sort))
		    << fact("Focus", r.focus.empty() ? "the whole traces" : esc(r.focus));
	}
	else
		out << "<div class=\"facts-wrap\"><table class=\"facts\">"
	    << fact("Identifier", "<code>" + esc(t.id) + "</code>")
	    << fact("Comment", t.comment.empty() ? "<span class=\"muted\">none</span>" : esc(t.comment))
	    << fact("Owner", esc(t.owner)) << fact("Status", esc(status_text(t.status)))
	    << fact("Plans", std::string(t.json ? "JSON" : "text") + " (trace version " + fixed(t.version, 1) + ")")
	    << (sampling_words(t).empty() ? "" : fact("Recorded", esc(sampling_words(t))))
	    << fact("Started", esc(t.start))
	    << fact(t.finish.empty() ? "Planned end" : "Ended",
	            esc(t.finish.empty() ? (t.end.empty() ? "-" : t.end) : t.finish))
	    << "</table><table class=\"facts\">"
	    << fact("First statement", esc(o.first.empty() ? "-" : o.first))
	    << fact("Last statement", esc(o.last.empty() ? "-" : o.last))
	    << fact(t.loaded ? "Loaded" : "Streamed", esc(t.read_at) + " by " + esc(t.report_user))
	    << fact("Ranked by", esc(r.sort))
	    << fact("Focus", r.focus.empty() ? "the whole trace" : esc(r.focus));
	if (o.failed > 0)
		out << fact("Failed", "<a href=\"#failed\">" + with_separators(o.failed) +
		                          " statements ended in an error</a>");
	if (o.not_parsed > 0)
		out << fact("Not parsed", with_separators(o.not_parsed) +
		                              " statements: the parser could not read their text, which "
		                              "stands as itself");
	out << "</table></div>\n<div class=\"breakdowns\">";
	write_breakdown("Database", r.by_database, r, out);
	write_breakdown("User", r.by_user, r, out);
	write_breakdown("Application", r.by_application, r, out);
	out << "</div></section>\n";
}

} // namespace

void write_notes(const Report &r, OutputFile &out)
{
	if (r.notes.empty())
		return;
	out << "<section class=\"notes\" id=\"notes\"><h2>Partial data</h2><ul>";
	for (const std::string &note : r.notes)
		out << "<li>" << esc(note) << "</li>";
	out << "</ul></section>\n";
}

namespace {

void write_timeline(const Report &r, OutputFile &out)
{
	out << "<section id=\"timeline\"><h2>Timeline</h2>\n";
	if (r.timeline.steps.empty())
	{
		out << "<p class=\"muted\">No statements in this report.</p></section>\n";
		return;
	}
	out << timeline_svg(r.timeline) << "\n";
	if (r.lanes.drawn)
	{
		std::vector<std::string> names;
		for (const Statement &s : r.top)
			names.push_back(s.short_text);
		out << "<h4>Sessions: each statement as a bar from its start to its end; statements run by "
		       "another one are drawn inside it</h4>\n"
		    << lanes_svg(r.lanes, r.timeline, names) << "\n<p class=\"legend\">";
		for (const Statement &s : r.top)
		{
			if (s.rank > 10)
				break;
			out << swatch(s.rank) << "#" << std::to_string(s.rank) << " ";
		}
		out << swatch(0) << "other statements";
		if (r.lanes.density_steps > 0)
			out << " \xC2\xB7 shaded: how busy the session was (full height: the busiest moment of "
			       "any session) \xC2\xB7 "
			    << esc(r.lanes.which);
		out << " \xC2\xB7 hover a bar for its statement</p>\n";
		if (!r.lanes.applications.empty())
		{
			out << "<p class=\"legend apps\">Applications: ";
			for (size_t i = 0; i < r.lanes.applications.size(); i++)
				out << (i > 0 ? " \xC2\xB7 " : "") << "<b>[" << std::to_string(i + 1) << "]</b> "
				    << esc(r.lanes.applications[i]);
			out << "</p>\n";
		}
	}
	else if (!r.lanes.why_not.empty())
		out << "<p class=\"legend\">" << esc(r.lanes.why_not) << "</p>\n";
	out << "</section>\n";
}

} // namespace

void histogram_range(const std::vector<Statement> &top, int &first, int &last)
{
	first = histogram_bins - 1;
	last = 0;
	for (const Statement &s : top)
	{
		for (int i = 0; i < histogram_bins; i++)
		{
			if (s.histogram[static_cast<size_t>(i)] > 0)
			{
				first = std::min(first, i);
				last = std::max(last, i);
			}
		}
	}
	if (first > last)
		first = last = 0;
	// At least three decades, so that one statement does not fill the width.
	while (last - first < 6)
	{
		if (first > 0)
			first--;
		if (last - first < 6 && last < histogram_bins - 1)
			last++;
		if (first == 0 && last == histogram_bins - 1)
			break;
	}
}

namespace {

std::string where_text(const Statement &s)
{
	std::string where;
	auto add = [&where](const std::string &label, const std::vector<std::string> &items, long long more) {
		if (items.empty())
			return;
		std::string list;
		for (size_t i = 0; i < items.size() && i < 3; i++)
			list += (i > 0 ? ", " : "") + items[i];
		if (items.size() > 3 || more > 0)
			list += ", \xE2\x80\xA6";
		where += (where.empty() ? "" : " \xC2\xB7 ") + label + list;
	};
	add("db ", s.databases, 0);
	add("", s.users, 0);
	add("", s.applications, s.more_applications);
	return where;
}

// A bar of the statement's elapsed time split by server.
std::string server_split(const Report &r, const Statement &s)
{
	std::string bar = "<span class=\"split\">";
	for (size_t i = 0; i < s.by_source.size(); i++)
	{
		const StatementPart &p = s.by_source[i];
		if (p.calls == 0)
			continue;
		double share = s.elapsed_ms > 0 ? 100.0 * p.elapsed_ms / s.elapsed_ms : 100.0 / static_cast<double>(s.by_source.size());
		bar += "<span style=\"width:" + fixed(share, 1) + "%;background:" + server_colour(i) +
		       "\" title=\"" + esc(r.sources[i].label) + ": " + with_separators(p.calls) + " calls, " +
		       human_ms(p.elapsed_ms) + "\"></span>";
	}
	return bar + "</span>";
}

void write_top_table(const Report &r, OutputFile &out)
{
	const Overview &o = r.overview;
	out << "<section id=\"top\"><h2>Top statements <span class=\"count\">by " << esc(r.sort) << ", "
	    << std::to_string(r.top.size()) << " of " << with_separators(o.normalized)
	    << " normalized statements</span></h2>\n";
	if (r.top.empty())
	{
		out << "<p class=\"muted\">No statements.</p></section>\n";
		return;
	}
	int first, last;
	histogram_range(r.top, first, last);
	double whole = r.sort_execution ? o.execution_ms : o.elapsed_ms;
	bool several = r.sources.size() > 1;
	out << "<table class=\"top\"><thead><tr><th class=\"n\">#</th><th>Statement</th>"
	       "<th class=\"n\">Calls</th><th class=\"n\">Elapsed</th><th class=\"n\">Share</th>"
	       "<th class=\"n\">Mean</th><th class=\"n\">p95</th><th class=\"n\">Max</th>"
	       "<th class=\"n\">Execution</th><th class=\"n\">Rows</th><th class=\"n\">Hits</th>"
	       "<th class=\"n\">Reads</th><th class=\"n\">Temp</th><th>Durations</th>"
	    << (several ? "<th>Servers</th>" : "") << "</tr></thead>\n<tbody>\n";
	for (const Statement &s : r.top)
	{
		double part = r.sort_execution ? s.execution_ms : s.elapsed_ms;
		double share = whole > 0 ? 100.0 * part / whole : 0;
		out << "<tr id=\"row" << std::to_string(s.rank) << "\" data-statement=\"" << s.key
		    << "\"><td class=\"n\">" << std::to_string(s.rank) << "</td><td class=\"text\" title=\""
		    << esc(s.short_text) << "\"><a href=\"#s" << std::to_string(s.rank) << "\">" << swatch(s.rank)
		    << esc(s.short_text) << "</a><span class=\"where\">" << esc(where_text(s)) << "</span>"
		    << (s.failed > 0 ? "<span class=\"failed\">" + esc(failed_words(s.failed, s.sqlstates)) + "</span>"
		                     : std::string())
		    << "</td>"
		    << cell(s.calls) << cell(s.elapsed_ms, human_ms(s.elapsed_ms)) << "<td class=\"n\">"
		    << percent(part, whole) << "<span class=\"share\"><span style=\"width:"
		    << fixed(std::min(share, 100.0), 1) << "%\"></span></span></td>"
		    << cell(s.mean_ms, human_ms(s.mean_ms)) << cell(s.p95_ms, human_ms(s.p95_ms))
		    << cell(s.max_ms, human_ms(s.max_ms)) << cell(s.execution_ms, human_ms(s.execution_ms))
		    << cell(s.rows) << cell(s.hits) << cell(s.reads) << cell(s.temp_read + s.temp_written)
		    << "<td class=\"h\">" << histogram_svg(s.histogram, first, last, s.rank, false) << "</td>";
		if (several)
			out << "<td class=\"srv\">" << server_split(r, s) << "</td>";
		out << "</tr>\n";
	}
	if (r.others_count > 0)
		out << "<tr class=\"others\"><td></td><td>" << with_separators(r.others_count)
		    << " other statements</td>" << cell(r.others_calls)
		    << cell(r.others_elapsed_ms, human_ms(r.others_elapsed_ms)) << "<td colspan=\""
		    << (several ? "12" : "11") << "\"></td></tr>\n";
	out << "</tbody></table>\n<p class=\"legend\">A statement is a normalized text (constants as "
	       "$1, $2, ...) in one database"
	    << (r.merged_databases ? " (here: in any database)" : "")
	    << ". Elapsed: from its start (when the server took it) to its end, with parsing, planning "
	       "and lock waits; execution: the plan's run. Share: of the elapsed time of top-level "
	       "statements (a statement run by another one counts in both). Mean, p95 and max: of "
	       "the elapsed times. Hits, reads: shared buffers; temp: temporary blocks read and "
	       "written. Durations: how many calls took from "
	    << esc(histogram_bin_bound(first)) << " (left) to " << esc(histogram_bin_bound(last + 1))
	    << " (right), in steps of half a decade."
	    << (several ? " Servers: each server's share of the statement's elapsed time." : "")
	    << "</p></section>\n";
}

void metric(OutputFile &out, const std::string &key, const std::string &value)
{
	out << "<dt>" << esc(key) << "</dt><dd>" << esc(value) << "</dd>";
}

void write_triggers_and_jit(const Plan &plan, OutputFile &out)
{
	if (!plan.triggers.empty())
	{
		out << "<ul class=\"plan-notes\">";
		for (const TriggerTime &t : plan.triggers)
			out << "<li>trigger " << esc(t.name) << (t.relation.empty() ? "" : " on " + esc(t.relation))
			    << ": " << human_ms(t.ms) << " in " << with_separators(static_cast<long long>(t.calls))
			    << " calls <span class=\"muted\">(a BEFORE trigger's time is inside the nodes above, "
			       "an AFTER trigger's follows the plan)</span></li>";
		out << "</ul>\n";
	}
	if (!plan.jit.empty())
		out << "<p class=\"jit\"><b>" << esc(plan.jit)
		    << "</b> <span class=\"muted\">(compiled while the nodes ran: part of their "
		       "times)</span></p>\n";
}

// Whether a comparison gives the nodes' changes (else only marks).
bool with_notes(const std::vector<NodeChange> *changes)
{
	if (changes == nullptr)
		return false;
	for (const NodeChange &c : *changes)
		if (!c.note.empty())
			return true;
	return false;
}

void write_json_plan(const Plan &plan, OutputFile &out, const std::vector<NodeChange> *changes)
{
	int hottest = plan.hottest();
	double whole = plan.whole_ms();
	bool notes = with_notes(changes);
	out << "<table class=\"plan\"><thead><tr><th class=\"n\">Self</th>"
	    << (notes ? "<th class=\"n\">Change</th>" : "")
	    << "<th class=\"bar-cell\">Share</th>"
	       "<th>Node</th><th class=\"n\">Rows</th><th class=\"n\">Planned</th><th "
	       "class=\"n\">Loops</th>"
	       "<th class=\"n\">Total</th></tr></thead><tbody>\n";
	for (size_t i = 0; i < plan.nodes.size(); i++)
	{
		const PlanNode &n = plan.nodes[i];
		double share = whole > 0 ? std::min(100.0 * n.self_ms / whole, 100.0) : 0;
		bool hot = static_cast<int>(i) == hottest;
		const NodeChange *c = changes != nullptr ? &(*changes)[i] : nullptr;
		std::string cls = std::string(hot ? "hot" : "") + (c != nullptr && c->marked ? " grew" : "");
		out << "<tr" << (cls.empty() ? "" : " class=\"" + cls + "\"") << " data-self=\""
		    << fixed(n.self_ms, 6) << "\"><td class=\"n self\">" << human_ms(n.self_ms) << "</td>";
		if (notes)
			out << "<td class=\"n change\">" << (c->marked ? "\xE2\x96\xB2 " : "") << esc(c->note)
			    << "</td>";
		out << "<td class=\"bar-cell\">"
		    << "<span class=\"pbar\" title=\"" << fixed(share, 1)
		    << "%\"><span style=\"width:" << fixed(share, 1)
		    << "%\"></span></span></td><td class=\"node\" style=\"padding-left:"
		    << std::to_string(8 + 18 * std::min(n.depth, 20)) << "px\">" << (n.depth > 0 ? "\xE2\x86\xB3 " : "")
		    << esc(n.label);
		if (!n.detail.empty())
			out << "<span class=\"detail\">" << esc(n.detail) << "</span>";
		out << "</td><td class=\"n\">"
		    << with_separators(static_cast<long long>(std::llround(n.rows)))
		    << "</td><td class=\"n\">"
		    << with_separators(static_cast<long long>(std::llround(n.plan_rows)))
		    << "</td><td class=\"n\">"
		    << with_separators(static_cast<long long>(std::llround(n.loops)))
		    << "</td><td class=\"n\">" << human_ms(n.total_ms) << "</td></tr>\n";
	}
	out << "</tbody></table>\n";
}

// A text plan as recorded, each node line with its own share of the time
// in a gutter and the most expensive one marked; long lines wrap.
void write_text_plan(const Plan &plan, OutputFile &out, const std::vector<NodeChange> *changes)
{
	std::vector<int> node_of(plan.lines.size(), -1);
	for (size_t i = 0; i < plan.nodes.size(); i++)
		if (plan.nodes[i].line >= 0)
			node_of[static_cast<size_t>(plan.nodes[i].line)] = static_cast<int>(i);
	int hottest = plan.hottest();
	double whole = plan.whole_ms();
	bool notes = with_notes(changes);
	out << "<div class=\"tplan" << (notes ? " changes" : "") << "\">";
	for (size_t l = 0; l < plan.lines.size(); l++)
	{
		int n = node_of[l];
		std::string gutter;
		if (n >= 0 && whole > 0)
			gutter = fixed(100.0 * plan.nodes[static_cast<size_t>(n)].self_ms / whole, 1) + "%";
		bool hot = n >= 0 && n == hottest;
		const NodeChange *c = changes != nullptr && n >= 0 ? &(*changes)[static_cast<size_t>(n)] : nullptr;
		const std::string &text = plan.lines[l];
		size_t lead = std::min(text.find_first_not_of(' '), text.size());
		out << "<div class=\"pl" << (hot ? " hot" : "") << (c != nullptr && c->marked ? " grew" : "")
		    << "\" data-self=\""
		    << (n >= 0 ? fixed(plan.nodes[static_cast<size_t>(n)].self_ms, 6) : std::string())
		    << "\"><span class=\"gut\">" << gutter << "</span>";
		if (notes)
			out << "<span class=\"chg\">"
			    << (c != nullptr ? (c->marked ? "\xE2\x96\xB2 " : "") + esc(c->note) : std::string())
			    << "</span>";
		out << "<span class=\"code\" style=\"padding-left:"
		    << std::to_string(std::min<size_t>(lead, 80)) << "ch\">" << esc(text.substr(lead))
		    << "</span></div>\n";
	}
	out << "</div>\n";
}

void write_statement(const Report &r, const Statement &s, int first, int last, OutputFile &out)
{
	double whole = r.sort_execution ? r.overview.execution_ms : r.overview.elapsed_ms;
	double part = r.sort_execution ? s.execution_ms : s.elapsed_ms;
	out << "<article class=\"stmt\" id=\"s" << std::to_string(s.rank) << "\"><h3>" << swatch(s.rank)
	    << "#" << std::to_string(s.rank) << " <span class=\"muted\">\xC2\xB7 "
	    << human_ms(part) << " in " << with_separators(s.calls)
	    << (s.calls == 1 ? " call" : " calls") << " \xC2\xB7 "
	    << percent(part, whole) << " of the time \xC2\xB7 " << esc(where_text(s))
	    << "</span></h3>\n<div class=\"stmt-grid\"><dl class=\"metrics\">";
	metric(out, "calls", with_separators(s.calls));
	metric(out, "elapsed", human_ms(s.elapsed_ms));
	metric(out, "mean", human_ms(s.mean_ms));
	metric(out, "p95", human_ms(s.p95_ms));
	metric(out, "min", human_ms(s.min_ms));
	metric(out, "max", human_ms(s.max_ms));
	metric(out, "execution", human_ms(s.execution_ms));
	metric(out, "exec. mean", human_ms(s.execution_mean_ms));
	metric(out, "rows", with_separators(s.rows));
	metric(out, "sessions", with_separators(s.sessions));
	metric(out, "shared hits", with_separators(s.hits));
	metric(out, "shared reads", with_separators(s.reads));
	metric(out, "temp read", with_separators(s.temp_read));
	metric(out, "temp written", with_separators(s.temp_written));
	metric(out, "ctx sw vol.", with_separators(s.csw_voluntary));
	metric(out, "ctx sw invol.", with_separators(s.csw_involuntary));
	metric(out, "page faults", with_separators(s.faults_major));
	metric(out, "reclaims", with_separators(s.faults_minor));
	metric(out, "texts", (s.distinct_exact ? "" : "\xE2\x89\x88 ") + with_separators(s.distinct_texts));
	if (s.failed > 0)
		metric(out, "failed", with_separators(s.failed));
	out << "</dl><div class=\"hist-box\">elapsed times of its calls<br/>"
	    << histogram_svg(s.histogram, first, last, s.rank, true) << "</div></div>\n";
	if (s.failed > 0)
	{
		out << "<p class=\"failed\">" << with_separators(s.failed) << " of its calls ended in an error: ";
		for (size_t i = 0; i < s.sqlstates.size(); i++)
			out << (i > 0 ? ", " : "") << "<code>" << esc(s.sqlstates[i].first) << "</code> "
			    << with_separators(s.sqlstates[i].second) << "\xC3\x97";
		out << " (<a href=\"#failed\">failed statements</a>)</p>\n";
	}
	if (r.sources.size() > 1)
	{
		out << "<table class=\"servers split-table\"><thead><tr><th>Server</th><th class=\"n\">Calls</th>"
		       "<th class=\"n\">Elapsed</th><th class=\"n\">Share</th><th class=\"n\">Mean</th>"
		       "<th class=\"n\">p95</th><th class=\"n\">Max</th><th class=\"n\">Execution</th>"
		       "<th class=\"n\">Rows</th><th class=\"n\">Hits</th><th class=\"n\">Reads</th>"
		       "<th class=\"n\">Failed</th></tr></thead><tbody>";
		for (size_t i = 0; i < s.by_source.size(); i++)
		{
			const StatementPart &p = s.by_source[i];
			if (p.calls == 0)
				continue;
			out << "<tr data-server=\"" << esc(r.sources[i].label) << "\"><td class=\"server\">"
			    << server_swatch(i) << esc(r.sources[i].label) << "</td>" << cell(p.calls)
			    << cell(p.elapsed_ms, human_ms(p.elapsed_ms)) << "<td class=\"n\">"
			    << percent(p.elapsed_ms, s.elapsed_ms) << "</td>" << cell(p.mean_ms, human_ms(p.mean_ms))
			    << cell(p.p95_ms, human_ms(p.p95_ms)) << cell(p.max_ms, human_ms(p.max_ms))
			    << cell(p.execution_ms, human_ms(p.execution_ms)) << cell(p.rows) << cell(p.hits)
			    << cell(p.reads) << cell(p.failed) << "</tr>";
		}
		out << "</tbody></table>\n";
	}
	out << "<pre class=\"sql\">" << esc(s.text);
	if (s.text_length > static_cast<long long>(s.text.size()))
		out << "\n\xE2\x80\xA6 (" << with_separators(s.text_length) << " characters in all)";
	out << "</pre>\n";
	if (!s.parsed)
		out << "<p class=\"muted\">The parser could not read this text: it stands as itself.</p>\n";
	if (!s.params.empty())
		out << "<p><span class=\"muted\">Parameter types:</span> <code>" << esc(s.params)
		    << "</code></p>\n";
	std::vector<Variant> variants = frequent_variants(s);
	if (s.distinct_texts > 1 && variants.empty())
		out << "<p class=\"muted\">" << (s.distinct_exact ? "" : "About ")
		    << with_separators(s.distinct_texts)
		    << " distinct texts, none called much more often than the others.</p>\n";
	else if (s.distinct_texts > 1)
	{
		out << "<details class=\"variants\"><summary>" << (s.distinct_exact ? "" : "about ")
		    << with_separators(s.distinct_texts) << " distinct texts: the most called"
		    << (s.variants_exact ? "" : " (at least this many calls each)")
		    << "</summary><table class=\"variants\">"
		    << "<thead><tr><th class=\"n\">Calls</th><th class=\"n\">Elapsed</th><th>Text</th></tr></thead><tbody>";
		for (const Variant &v : variants)
			out << "<tr>" << cell(v.calls - v.error)
			    << (s.variants_exact ? cell(v.elapsed_ms, human_ms(v.elapsed_ms)) : std::string("<td></td>"))
			    << "<td><code>" << esc(one_line_text(v.text, 400)) << "</code></td></tr>";
		out << "</tbody></table></details>\n";
	}
	const Execution &e = s.plan_of_planned ? s.planned : s.slowest;
	out << "<h4>Slowest execution: " << human_ms(s.slowest.elapsed_ms) << " elapsed ("
	    << human_ms(s.slowest.execution_ms) << " execution), ended " << esc(s.slowest.ended)
	    << ", pid " << std::to_string(s.slowest.pid)
	    << (r.sources.size() > 1 ? " on " + esc(r.sources[static_cast<size_t>(s.slowest.source)].label) : "")
	    << "</h4>\n";
	// Its own text, with the constants it ran with.
	if (s.slowest.text != s.text)
		out << "<pre class=\"sql own\">" << esc(s.slowest.text) << "</pre>\n";
	if (s.plan_of_planned)
		out << "<p class=\"muted\">Its record has no plan"
		    << (s.slowest.plan.empty() ? std::string() : " (" + esc(one_line_text(s.slowest.plan, 200)) + ")")
		    << ". The plan of the slowest execution that has one: " << human_ms(e.elapsed_ms)
		    << ", ended " << esc(e.ended) << ", pid " << std::to_string(e.pid) << ".</p>\n";
	write_plan(s.plan, out);
	out << "</article>\n";
}

} // namespace

void write_plan(const Plan &plan, OutputFile &out, const std::vector<NodeChange> *changes)
{
	if (!plan.nodes.empty())
	{
		if (plan.json)
			write_json_plan(plan, out, changes);
		else
			write_text_plan(plan, out, changes);
		write_triggers_and_jit(plan, out);
	}
	else if (!plan.note.empty())
		out << "<pre class=\"plan\">" << esc(plan.note) << "</pre>\n";
	else
		out << "<p class=\"muted\">No plan was recorded.</p>\n";
}

void write_footer(const Report &r, OutputFile &out)
{
	out << "</main>\n<footer class=\"wrap\">"
	    << "<p>Statements are normalized as pg_stat_statements shows them: constants become $1, $2, "
	       "... A statement's elapsed time runs from its start (for a client's statement, when the "
	       "server took it) to its end: parsing, planning, lock waits, triggers and the executor; "
	       "where the next statement of the session started before that end (the extended "
	       "protocol ends a statement when the client sends the next one), it ends there. Its "
	       "execution time is the run of its plan. Busy time counts top-level statements from "
	       "start to end: statements run by another statement (function bodies) are part of "
	       "their caller's time. Active sessions is busy time divided by the length of the "
	       "step.</p>"
	    << "<p>p95 is percentile_cont(0.95) of the elapsed times: exact up to "
	    << std::to_string(QuantileSketch::exact_limit)
	    << " calls of a statement, within 1% beyond. Distinct texts are counted exactly up to a "
	       "few thousand per statement, estimated beyond. Buffers come from each execution's "
	       "plan (its top node) when the plan carries them, else from the difference of the "
	       "process's running totals to its previous record. A plan node's self time is its time "
	       "over all its loops minus that of the nodes below it (below a Gather divided by the "
	       "processes that ran it), with a CTE's time inside the CTE Scans that read it and an "
	       "InitPlan's inside the node that first uses its value.</p>"
	    << "<p>Made by vireo-report from "
	    << (r.trace.loaded ? "the tables of <code>vr_load_trace</code>"
	                       : "the records of <code>vr_trace_records</code>")
	    << ".</p>"
	    << "</footer>\n</body>\n</html>\n";
}

void write_html_report(const Report &report, OutputFile &out)
{
	write_head(report, out);
	write_answer(report, out);
	write_top_table(report, out);
	write_notes(report, out);
	write_failures(report, out);
	write_overview(report, out);
	write_timeline(report, out);
	if (!report.top.empty())
	{
		int first, last;
		histogram_range(report.top, first, last);
		out << "<section id=\"statements\"><h2>Statements in detail</h2>\n";
		for (const Statement &s : report.top)
			write_statement(report, s, first, last, out);
		out << "</section>\n";
	}
	write_footer(report, out);
}
