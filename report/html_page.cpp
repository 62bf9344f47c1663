// The HTML page, written section by section.
#include "charts.hpp"
#include "format.hpp"
#include "text_plan.hpp"
#include "trace_source.hpp"
#include "writers.hpp"

#include <algorithm>
#include <cmath>

namespace {

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

void write_head(const Report &r, OutputFile &out)
{
	const TraceInfo &t = r.trace;
	std::string title = t.comment.empty() ? "trace " + t.id : t.comment;
	out << "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n"
	    << "<meta charset=\"utf-8\"/>\n"
	    << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n"
	    << "<meta name=\"generator\" content=\"vireo-report\"/>\n"
	    << "<title>vireo report: " << esc(title) << "</title>\n<style>" << page_style
	    << "</style>\n</head>\n<body>\n"
	    << "<header class=\"page\"><div class=\"wrap\">"
	    << "<div class=\"kicker\">vireo trace report</div>"
	    << "<h1>" << esc(t.comment.empty() ? "(no comment)" : t.comment) << "</h1>"
	    << "<div class=\"sub\">trace <code>" << esc(t.id) << "</code> \xC2\xB7 database "
	    << esc(t.database) << " on " << esc(t.server) << " \xC2\xB7 generated "
	    << esc(r.generated_at) << "</div></div></header>\n<main class=\"wrap\">\n";
}

void write_overview(const Report &r, OutputFile &out)
{
	const TraceInfo &t = r.trace;
	const Overview &o = r.overview;
	out << "<section id=\"overview\"><h2>Overview</h2>\n<div class=\"tiles\">"
	    << tile("Statements", with_separators(o.statements),
	            with_separators(o.distinct) + " distinct")
	    << tile("Sessions", with_separators(o.sessions), "server processes")
	    << tile("Total time", human_ms(o.total_ms),
	            o.nested > 0
	                ? "top-level; " + with_separators(o.nested) + " nested statements inside"
	                : "sum of statement durations")
	    << tile("Busiest second", o.busiest_second.empty() ? "-" : o.busiest_second.substr(11, 8),
	            o.busiest_second.empty() ? ""
	                                     : human_ms(o.busiest_busy_ms) + " in statements, " +
	                                           with_separators(o.busiest_statements) + " ended")
	    << tile("Span", o.statements > 0 ? human_ms((o.last_s - o.first_s) * 1000.0) : "-",
	            "first start to last end")
	    << tile("Plans", t.json ? "JSON" : "text", "trace version " + fixed(t.version, 1))
	    << "</div>\n<div class=\"facts-wrap\"><table class=\"facts\">"
	    << fact("Identifier", "<code>" + esc(t.id) + "</code>")
	    << fact("Comment", t.comment.empty() ? "<span class=\"muted\">none</span>" : esc(t.comment))
	    << fact("Owner", esc(t.owner)) << fact("Status", esc(status_text(t.status)))
	    << fact("Started", esc(t.start))
	    << fact(t.finish.empty() ? "Planned end" : "Ended",
	            esc(t.finish.empty() ? (t.end.empty() ? "-" : t.end) : t.finish))
	    << "</table><table class=\"facts\">"
	    << fact("First statement", esc(o.first.empty() ? "-" : o.first))
	    << fact("Last statement", esc(o.last.empty() ? "-" : o.last))
	    << fact("Loaded", esc(t.loaded_at) + " by " + esc(t.report_user))
	    << fact("Ranked by", esc(r.sort))
	    << fact("Focus", r.focus.empty() ? "the whole trace" : esc(r.focus))
	    << "</table></div></section>\n";
}

void write_notes(const Report &r, OutputFile &out)
{
	if (r.notes.empty())
		return;
	out << "<section class=\"notes\" id=\"notes\"><h2>Partial data</h2><ul>";
	for (const std::string &note : r.notes)
		out << "<li>" << esc(note) << "</li>";
	out << "</ul></section>\n";
}

void write_timeline(const Report &r, OutputFile &out)
{
	out << "<section id=\"timeline\"><h2>Timeline</h2>\n";
	if (r.timeline.steps.empty())
	{
		out << "<p class=\"muted\">No statements were recorded.</p></section>\n";
		return;
	}
	out << timeline_svg(r.timeline) << "\n";
	if (r.lanes.drawn)
	{
		std::vector<std::string> names;
		for (const Statement &s : r.top)
			names.push_back(s.short_text);
		out << "<h4>Sessions: each statement as a bar; statements run by another one are drawn "
		       "inside it</h4>\n"
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
	}
	else if (!r.lanes.why_not.empty())
		out << "<p class=\"legend\">" << esc(r.lanes.why_not) << "</p>\n";
	out << "</section>\n";
}

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

void write_top_table(const Report &r, OutputFile &out)
{
	const Overview &o = r.overview;
	out << "<section id=\"top\"><h2>Top statements <span class=\"count\">by " << esc(r.sort) << ", "
	    << std::to_string(r.top.size()) << " of " << with_separators(o.distinct)
	    << "</span></h2>\n";
	if (r.top.empty())
	{
		out << "<p class=\"muted\">No statements.</p></section>\n";
		return;
	}
	int first, last;
	histogram_range(r.top, first, last);
	out << "<table class=\"top\"><thead><tr><th class=\"n\">#</th><th>Statement</th>"
	       "<th class=\"n\">Calls</th><th class=\"n\">Total</th><th class=\"n\">Share</th>"
	       "<th class=\"n\">Mean</th><th class=\"n\">p95</th><th class=\"n\">Max</th>"
	       "<th class=\"n\">Rows</th><th class=\"n\">Hits</th><th class=\"n\">Reads</th>"
	       "<th class=\"n\">Temp</th><th class=\"n\">Ctx "
	       "sw</th><th>Durations</th></tr></thead>\n<tbody>\n";
	long long calls = 0;
	double total = 0;
	for (const Statement &s : r.top)
	{
		calls += s.calls;
		total += s.total_ms;
		double share = o.total_ms > 0 ? 100.0 * s.total_ms / o.total_ms : 0;
		out << "<tr id=\"row" << std::to_string(s.rank) << "\" data-query-id=\""
		    << std::to_string(s.query_id) << "\"><td class=\"n\">" << std::to_string(s.rank)
		    << "</td><td class=\"text\" title=\"" << esc(s.short_text) << "\"><a href=\"#s"
		    << std::to_string(s.rank) << "\">" << swatch(s.rank) << esc(s.short_text) << "</a></td>"
		    << cell(s.calls) << cell(s.total_ms, human_ms(s.total_ms)) << "<td class=\"n\">"
		    << percent(s.total_ms, o.total_ms)
		    << "<span class=\"share\"><span style=\"width:" << fixed(std::min(share, 100.0), 1)
		    << "%\"></span></span></td>" << cell(s.mean_ms, human_ms(s.mean_ms))
		    << cell(s.p95_ms, human_ms(s.p95_ms)) << cell(s.max_ms, human_ms(s.max_ms))
		    << cell(s.rows) << cell(s.hits) << cell(s.reads) << cell(s.temp_read + s.temp_written)
		    << cell(s.csw_voluntary + s.csw_involuntary) << "<td class=\"h\">"
		    << histogram_svg(s.histogram, first, last, s.rank, false) << "</td></tr>\n";
	}
	if (o.distinct > static_cast<long long>(r.top.size()))
		out << "<tr class=\"others\"><td></td><td>"
		    << with_separators(o.distinct - static_cast<long long>(r.top.size()))
		    << " other statements</td>" << cell(o.statements - calls)
		    << cell(o.all_ms - total, human_ms(std::max(o.all_ms - total, 0.0)))
		    << "<td colspan=\"10\"></td></tr>\n";
	out << "</tbody></table>\n<p class=\"legend\">Share: of the total time of top-level statements "
	       "(a statement run by another one counts in both). Hits, reads: shared buffers; temp: "
	       "temporary blocks read and written; ctx sw: voluntary and involuntary context "
	       "switches. Durations: how many calls took from "
	    << esc(histogram_bin_bound(first)) << " (left) to " << esc(histogram_bin_bound(last + 1))
	    << " (right), in steps of half a decade.</p></section>\n";
}

void metric(OutputFile &out, const std::string &key, const std::string &value)
{
	out << "<dt>" << esc(key) << "</dt><dd>" << esc(value) << "</dd>";
}

void write_json_plan(const Statement &s, OutputFile &out)
{
	double hottest = 0;
	for (const PlanNode &n : s.plan_nodes)
		hottest = std::max(hottest, n.self_ms);
	double whole = s.plan_nodes.empty() ? 0 : s.plan_nodes.front().total_ms;
	out << "<table class=\"plan\"><thead><tr><th class=\"n\">Self</th><th "
	       "class=\"bar-cell\">Share</th>"
	       "<th>Node</th><th class=\"n\">Rows</th><th class=\"n\">Planned</th><th "
	       "class=\"n\">Loops</th>"
	       "<th class=\"n\">Total</th></tr></thead><tbody>\n";
	for (const PlanNode &n : s.plan_nodes)
	{
		double share = whole > 0 ? std::min(100.0 * n.self_ms / whole, 100.0) : 0;
		bool hot = n.self_ms > 0 && n.self_ms == hottest;
		out << "<tr" << (hot ? " class=\"hot\"" : "") << " data-self=\"" << fixed(n.self_ms, 6)
		    << "\"><td class=\"n self\">" << human_ms(n.self_ms) << "</td><td class=\"bar-cell\">"
		    << "<span class=\"pbar\" title=\"" << fixed(share, 1)
		    << "%\"><span style=\"width:" << fixed(share, 1)
		    << "%\"></span></span></td><td class=\"node\" style=\"padding-left:"
		    << std::to_string(8 + 18 * n.depth) << "px\">" << (n.depth > 0 ? "\xE2\x86\xB3 " : "")
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
	for (const TriggerTime &t : s.triggers)
		out << "<tr><td class=\"n self\">" << human_ms(t.ms) << "</td><td></td><td class=\"node\">"
		    << "trigger " << esc(t.name) << (t.relation.empty() ? "" : " on " + esc(t.relation))
		    << "<span class=\"detail\">after the plan: not part of its "
		       "time</span></td><td></td><td></td>"
		    << "<td class=\"n\">" << with_separators(static_cast<long long>(t.calls))
		    << "</td><td></td></tr>\n";
	out << "</tbody></table>\n";
}

// A text plan as recorded, each node line with its own share of the time
// in a gutter and the most expensive one marked.
void write_text_plan(const Statement &s, OutputFile &out)
{
	std::vector<TextPlanLine> lines = analyse_text_plan(s.plan_text);
	double hottest = 0;
	double whole = 0;
	for (const TextPlanLine &l : lines)
	{
		if (l.node)
		{
			hottest = std::max(hottest, l.self_ms);
			whole += l.self_ms;
		}
	}
	out << "<pre class=\"plan\">";
	for (const TextPlanLine &l : lines)
	{
		std::string gutter = "       ";
		if (l.node && whole > 0)
		{
			gutter = fixed(100.0 * l.self_ms / whole, 1) + "%";
			gutter = std::string(gutter.size() < 6 ? 6 - gutter.size() : 0, ' ') + gutter + " ";
		}
		bool hot = l.node && l.self_ms > 0 && l.self_ms == hottest;
		out << "<span class=\"" << (hot ? "gut hot" : "gut") << "\">" << gutter << "</span>"
		    << (hot ? "<span class=\"hot\">" : "") << esc(l.text) << (hot ? "</span>" : "") << "\n";
	}
	out << "</pre>\n";
}

void write_statement(const Report &r, const Statement &s, int first, int last, OutputFile &out)
{
	out << "<article class=\"stmt\" id=\"s" << std::to_string(s.rank) << "\"><h3>" << swatch(s.rank)
	    << "#" << std::to_string(s.rank) << " <span class=\"muted\">\xC2\xB7 "
	    << human_ms(s.total_ms) << " in " << with_separators(s.calls)
	    << (s.calls == 1 ? " call" : " calls") << " \xC2\xB7 "
	    << percent(s.total_ms, r.overview.total_ms) << " of the time</span></h3>\n"
	    << "<div class=\"stmt-grid\"><dl class=\"metrics\">";
	metric(out, "calls", with_separators(s.calls));
	metric(out, "total", human_ms(s.total_ms));
	metric(out, "mean", human_ms(s.mean_ms));
	metric(out, "p95", human_ms(s.p95_ms));
	metric(out, "min", human_ms(s.min_ms));
	metric(out, "max", human_ms(s.max_ms));
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
	out << "</dl><div class=\"hist-box\">durations of its calls<br/>"
	    << histogram_svg(s.histogram, first, last, s.rank, true) << "</div></div>\n";
	out << "<pre class=\"sql\">" << esc(s.text);
	if (s.text_length > static_cast<long long>(s.text.size()))
		out << "\n\xE2\x80\xA6 (" << with_separators(s.text_length) << " characters in all)";
	out << "</pre>\n";
	if (!s.params.empty())
		out << "<p><span class=\"muted\">Parameter types:</span> <code>" << esc(s.params)
		    << "</code></p>\n";
	out << "<h4>Plan of the slowest execution: " << human_ms(s.slowest_ms) << ", ended "
	    << esc(s.slowest_at) << ", pid " << std::to_string(s.slowest_pid) << "</h4>\n";
	if (!s.plan_nodes.empty())
		write_json_plan(s, out);
	else
		write_text_plan(s, out);
	out << "</article>\n";
}

void write_footer(OutputFile &out)
{
	out << "</main>\n<footer class=\"wrap\">"
	    << "<p>Durations are the execution time of each statement's plan (planning not included). "
	       "Busy time counts top-level statements only: statements run by another statement (the "
	       "bodies of SQL functions) are part of their caller's time. Active sessions is busy time "
	       "divided by the length of the step.</p>"
	    << "<p>Buffer counters are recorded as running totals of each server process; each "
	       "statement here is charged the difference to the previous record of its process, which "
	       "also covers whatever that process ran unrecorded in between. A plan node's self time "
	       "is "
	       "its time over all its loops minus that of the nodes below it; below a Gather it is "
	       "divided by the processes that ran it.</p>"
	    << "<p>Made by vireo-report from the tables of <code>vr_load_trace</code>.</p>"
	    << "</footer>\n</body>\n</html>\n";
}

} // namespace

void write_html_report(const Report &report, OutputFile &out)
{
	write_head(report, out);
	write_overview(report, out);
	write_notes(report, out);
	write_timeline(report, out);
	write_top_table(report, out);
	if (!report.top.empty())
	{
		int first, last;
		histogram_range(report.top, first, last);
		out << "<section id=\"statements\"><h2>Statements in detail</h2>\n";
		for (const Statement &s : report.top)
			write_statement(report, s, first, last, out);
		out << "</section>\n";
	}
	write_footer(out);
}
