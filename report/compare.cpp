// Two traces side by side (--compare): the statements of both matched by
// their normalized text (and database), what changed in calls, mean, p95
// and total, which statements are new and which are gone, and for those
// whose mean got at least twice as slow both slowest plans, with the nodes
// whose own time grew most marked.  The report's aggregates hold each
// statement's numbers per trace (source 0 the old one, 1 the new one).
#include "charts.hpp"
#include "format.hpp"
#include "html_parts.hpp"
#include "json.hpp"
#include "text_parts.hpp"
#include "trace_source.hpp"
#include "writers.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

namespace {

// A statement of the comparison.
struct Row
{
	enum class Kind
	{
		both,
		added, // only in the new trace
		gone   // only in the old one
	};
	const Statement *s = nullptr;
	Kind kind = Kind::both;
	double ratio = 0;     // new mean over old mean (both)
	double impact_ms = 0; // what the change of its mean cost over its new calls
	bool slower = false;  // mean at least slower_ratio times the old one
};

constexpr double slower_ratio = 2.0;
constexpr size_t max_table_rows = 50;
constexpr size_t max_marked_nodes = 3;

const StatementPart &old_of(const Row &r)
{
	return r.s->by_source[0];
}

const StatementPart &new_of(const Row &r)
{
	return r.s->by_source[1];
}

struct Comparison
{
	std::vector<Row> both;  // most costly change first
	std::vector<Row> added; // most elapsed time first
	std::vector<Row> gone;
	std::vector<Row> slower; // of both, most costly first
};

Comparison compare(const Report &report)
{
	Comparison c;
	for (const Statement &s : report.top)
	{
		if (s.by_source.size() != 2)
			continue;
		Row row;
		row.s = &s;
		const StatementPart &o = s.by_source[0];
		const StatementPart &n = s.by_source[1];
		if (o.calls > 0 && n.calls > 0)
		{
			row.ratio = o.mean_ms > 0 ? n.mean_ms / o.mean_ms : (n.mean_ms > 0 ? HUGE_VAL : 1);
			row.impact_ms = (n.mean_ms - o.mean_ms) * static_cast<double>(n.calls);
			row.slower = row.ratio >= slower_ratio;
			c.both.push_back(row);
			if (row.slower)
				c.slower.push_back(row);
		}
		else if (n.calls > 0)
		{
			row.kind = Row::Kind::added;
			row.impact_ms = n.elapsed_ms;
			c.added.push_back(row);
		}
		else
		{
			row.kind = Row::Kind::gone;
			row.impact_ms = -o.elapsed_ms;
			c.gone.push_back(row);
		}
	}
	auto by_impact = [](const Row &a, const Row &b) {
		return a.impact_ms != b.impact_ms ? a.impact_ms > b.impact_ms : a.s->key < b.s->key;
	};
	std::sort(c.both.begin(), c.both.end(), by_impact);
	std::sort(c.slower.begin(), c.slower.end(), by_impact);
	std::sort(c.added.begin(), c.added.end(), by_impact);
	std::sort(c.gone.begin(), c.gone.end(), [](const Row &a, const Row &b) {
		return a.impact_ms != b.impact_ms ? a.impact_ms < b.impact_ms : a.s->key < b.s->key;
	});
	return c;
}

// ---- matching plan nodes ---------------------------------------------------

// Each node's place: the labels from the top node down, each with its
// number among the siblings of the same label.
std::vector<std::string> node_paths(const Plan &plan)
{
	std::vector<std::string> paths(plan.nodes.size());
	std::map<std::pair<int, std::string>, int> seen;
	for (size_t i = 0; i < plan.nodes.size(); i++)
	{
		const PlanNode &n = plan.nodes[i];
		int k = seen[{n.parent, n.label}]++;
		paths[i] = (n.parent >= 0 ? paths[static_cast<size_t>(n.parent)] : std::string()) + "/" +
		           n.label + "#" + std::to_string(k);
	}
	return paths;
}

// Matches the nodes of the new plan with those of the old one: by place,
// then the rest by label in plan order (a plan that changed its shape keeps
// its scans); gives each new node the change of its own time, marks the
// nodes whose own time grew most, and marks their matches in the old plan.
void plan_changes(const Plan &old_plan, const Plan &new_plan, std::vector<NodeChange> &old_changes,
                  std::vector<NodeChange> &new_changes)
{
	old_changes.assign(old_plan.nodes.size(), NodeChange());
	new_changes.assign(new_plan.nodes.size(), NodeChange());
	std::vector<int> match(new_plan.nodes.size(), -1);
	std::vector<bool> used(old_plan.nodes.size(), false);
	std::vector<std::string> old_paths = node_paths(old_plan);
	std::vector<std::string> new_paths = node_paths(new_plan);
	std::map<std::string, size_t> by_path;
	for (size_t i = 0; i < old_paths.size(); i++)
		by_path[old_paths[i]] = i;
	for (size_t i = 0; i < new_paths.size(); i++)
	{
		auto found = by_path.find(new_paths[i]);
		if (found != by_path.end())
		{
			match[i] = static_cast<int>(found->second);
			used[found->second] = true;
		}
	}
	for (size_t i = 0; i < new_plan.nodes.size(); i++)
	{
		for (size_t j = 0; match[i] < 0 && j < old_plan.nodes.size(); j++)
		{
			if (!used[j] && old_plan.nodes[j].label == new_plan.nodes[i].label)
			{
				match[i] = static_cast<int>(j);
				used[j] = true;
			}
		}
	}
	std::vector<std::pair<double, size_t>> growth;
	for (size_t i = 0; i < new_plan.nodes.size(); i++)
	{
		double self = new_plan.nodes[i].self_ms;
		double before = match[i] >= 0 ? old_plan.nodes[static_cast<size_t>(match[i])].self_ms : 0;
		double d = self - before;
		new_changes[i].note =
		    match[i] < 0 ? "new node" : (d >= 0 ? "+" : "\xE2\x88\x92") + human_ms(std::fabs(d));
		if (d > 0)
			growth.emplace_back(d, i);
	}
	std::sort(growth.begin(), growth.end(), std::greater<>());
	// The largest growths, down to a tenth of the largest: the nodes that
	// explain the slowdown, not every node that moved a little.
	for (size_t k = 0; k < growth.size() && k < max_marked_nodes; k++)
	{
		if (growth[k].first < growth[0].first / 10 || growth[k].first < 0.001)
			break;
		size_t i = growth[k].second;
		new_changes[i].marked = true;
		if (match[i] >= 0)
			old_changes[static_cast<size_t>(match[i])].marked = true;
	}
}

// ---- words and numbers -------------------------------------------------------

std::string ratio_text(double ratio)
{
	if (std::isinf(ratio))
		return "new time";
	return "\xC3\x97" + fixed(ratio, ratio < 10 ? 2 : 1);
}

std::string signed_ms(double ms)
{
	return (ms >= 0 ? "+" : "\xE2\x88\x92") + human_ms(std::fabs(ms));
}

std::string signed_count(long long n)
{
	return (n >= 0 ? "+" : "\xE2\x88\x92") + with_separators(n >= 0 ? n : -n);
}

const SourcePart &old_trace(const Report &r)
{
	return r.sources[0];
}

const SourcePart &new_trace(const Report &r)
{
	return r.sources[1];
}

double span_ms(const Overview &o)
{
	return o.statements > 0 ? (o.last_s - o.first_s) * 1000.0 : 0;
}

double per_second(const Overview &o)
{
	double span = span_ms(o);
	return span > 0 ? static_cast<double>(o.statements) * 1000.0 / span : 0;
}

// The overview's lines: name, old, new, change.
struct Line
{
	std::string name;
	std::string old_value;
	std::string new_value;
	std::string change;
};

std::vector<Line> overview_lines(const Report &r)
{
	const Overview &o = old_trace(r).overview;
	const Overview &n = new_trace(r).overview;
	auto ratio = [](double a, double b) { return a > 0 ? ratio_text(b / a) : std::string(); };
	double old_mean = o.statements > 0 ? o.all_elapsed_ms / static_cast<double>(o.statements) : 0;
	double new_mean = n.statements > 0 ? n.all_elapsed_ms / static_cast<double>(n.statements) : 0;
	return {
	    {"statements (calls)", with_separators(o.statements), with_separators(n.statements),
	     signed_count(n.statements - o.statements)},
	    {"normalized statements", with_separators(o.normalized), with_separators(n.normalized),
	     signed_count(n.normalized - o.normalized)},
	    {"sessions", with_separators(o.sessions), with_separators(n.sessions),
	     signed_count(n.sessions - o.sessions)},
	    {"span", human_ms(span_ms(o)), human_ms(span_ms(n)), ratio(span_ms(o), span_ms(n))},
	    {"calls per second", fixed(per_second(o), 1), fixed(per_second(n), 1),
	     ratio(per_second(o), per_second(n))},
	    {"elapsed (top-level)", human_ms(o.elapsed_ms), human_ms(n.elapsed_ms),
	     signed_ms(n.elapsed_ms - o.elapsed_ms)},
	    {"execution (top-level)", human_ms(o.execution_ms), human_ms(n.execution_ms),
	     signed_ms(n.execution_ms - o.execution_ms)},
	    {"mean elapsed per call", human_ms(old_mean), human_ms(new_mean),
	     ratio(old_mean, new_mean)},
	    {"failed calls", with_separators(o.failed), with_separators(n.failed),
	     signed_count(n.failed - o.failed)},
	};
}

std::string trace_words(const SourcePart &p)
{
	std::string sampled = sampling_words(p.trace);
	return "trace " + p.trace.id + " on " + p.label + " (\"" + p.trace.comment + "\", " +
	       status_text(p.trace.status) + ", started " + p.trace.start + ")" +
	       (sampled.empty() ? "" : "; " + sampled);
}

// ---- HTML ----------------------------------------------------------------------

std::string short_code(const Statement &s, size_t max)
{
	return "<code>" + esc(one_line_text(s.short_text, max)) + "</code>";
}

std::string statement_cell(const Row &row, const std::string &anchor)
{
	std::string tags;
	if (row.slower)
		tags += "<span class=\"tag slower\">" + ratio_text(row.ratio) + " slower</span>";
	if (row.kind == Row::Kind::added)
		tags += "<span class=\"tag new\">new</span>";
	if (row.kind == Row::Kind::gone)
		tags += "<span class=\"tag gone\">gone</span>";
	std::string text = anchor.empty()
	                       ? short_code(*row.s, 240)
	                       : "<a href=\"#" + anchor + "\">" + short_code(*row.s, 240) + "</a>";
	return "<td class=\"text\" data-statement=\"" + row.s->key + "\">" + tags + text + "</td>";
}

void write_answer(const Comparison &c, OutputFile &out)
{
	out << "<section class=\"answer\" id=\"answer\">";
	if (!c.slower.empty())
	{
		const Row &w = c.slower.front();
		out << "<p class=\"headline\"><span class=\"big\">"
		    << with_separators(static_cast<long long>(c.slower.size())) << "</span> "
		    << (c.slower.size() == 1 ? "statement" : "statements")
		    << " of those in both traces got at least " << fixed(slower_ratio, 0)
		    << "\xC3\x97 slower (mean elapsed time). The costliest: <a href=\"#c1\">"
		    << short_code(*w.s, 120) << "</a>, mean " << human_ms(old_of(w).mean_ms)
		    << " \xE2\x86\x92 " << human_ms(new_of(w).mean_ms) << " (" << ratio_text(w.ratio)
		    << "), " << signed_ms(w.impact_ms) << " over its " << with_separators(new_of(w).calls)
		    << " calls in the new trace.</p>";
		if (c.slower.size() > 1)
		{
			out << "<p class=\"then\">Next: ";
			for (size_t i = 1; i < c.slower.size() && i < 3; i++)
				out << (i > 1 ? "; " : "") << "<a href=\"#c" << std::to_string(i + 1) << "\">"
				    << short_code(*c.slower[i].s, 60) << "</a> " << ratio_text(c.slower[i].ratio);
			out << ".</p>";
		}
	}
	else
	{
		out << "<p class=\"headline\">No statement of those in both traces got "
		    << fixed(slower_ratio, 0) << "\xC3\x97 slower (mean elapsed time).";
		if (!c.both.empty() && c.both.front().impact_ms > 0)
			out << " The largest change: " << short_code(*c.both.front().s, 120) << ", mean "
			    << human_ms(old_of(c.both.front()).mean_ms) << " \xE2\x86\x92 "
			    << human_ms(new_of(c.both.front()).mean_ms) << " ("
			    << ratio_text(c.both.front().ratio) << ").";
		out << "</p>";
	}
	out << "<p class=\"then\">" << with_separators(static_cast<long long>(c.both.size()))
	    << " statements in both traces, " << with_separators(static_cast<long long>(c.added.size()))
	    << " <a href=\"#new\">new</a>, " << with_separators(static_cast<long long>(c.gone.size()))
	    << " <a href=\"#gone\">gone</a>.</p></section>\n";
}

void write_overview(const Report &r, OutputFile &out)
{
	out << "<section id=\"overview\"><h2>Overview</h2>\n<table class=\"compare "
	       "overview\"><thead><tr>"
	       "<th></th><th class=\"n\">Old</th><th class=\"n\">New</th><th class=\"n\">Change</th>"
	       "</tr></thead><tbody>\n";
	for (const Line &l : overview_lines(r))
		out << "<tr><th>" << esc(l.name) << "</th><td class=\"n\">" << esc(l.old_value)
		    << "</td><td class=\"n\">" << esc(l.new_value) << "</td><td class=\"n\">"
		    << esc(l.change) << "</td></tr>\n";
	out << "</tbody></table>\n<div class=\"facts-wrap\">";
	for (const SourcePart *p : {&old_trace(r), &new_trace(r)})
	{
		const TraceInfo &t = p->trace;
		out << "<table class=\"facts\">"
		    << fact(p == &old_trace(r) ? "Old trace" : "New trace",
		            "<code>" + esc(t.id) + "</code>")
		    << fact("Server", esc(p->label)) << fact("Comment", esc(t.comment))
		    << fact("Status", esc(status_text(t.status))) << fact("Plans", t.json ? "JSON" : "text")
		    << (sampling_words(t).empty() ? "" : fact("Recorded", esc(sampling_words(t))))
		    << fact("Statements", esc(p->overview.first) + " to " + esc(p->overview.last))
		    << fact(t.loaded ? "Loaded" : "Streamed", esc(t.read_at)) << "</table>";
	}
	out << "</div></section>\n";
}

void write_both_table(const Comparison &c, OutputFile &out)
{
	out << "<section id=\"changes\"><h2>Statements in both traces <span class=\"count\">by what "
	       "the change of their mean cost in the new trace, "
	    << with_separators(static_cast<long long>(std::min(c.both.size(), max_table_rows)))
	    << " of " << with_separators(static_cast<long long>(c.both.size())) << "</span></h2>\n";
	if (c.both.empty())
	{
		out << "<p class=\"muted\">No statement ran in both traces.</p></section>\n";
		return;
	}
	out << "<table class=\"compare\"><thead><tr><th>Statement</th><th class=\"n\">Calls old</th>"
	       "<th class=\"n\">Calls new</th><th class=\"n\">Mean old</th><th class=\"n\">Mean "
	       "new</th>"
	       "<th class=\"n\">Change</th><th class=\"n\">p95 old</th><th class=\"n\">p95 new</th>"
	       "<th class=\"n\">Total old</th><th class=\"n\">Total new</th><th class=\"n\">Cost</th>"
	       "</tr></thead><tbody>\n";
	std::map<const Statement *, size_t> detail;
	for (size_t i = 0; i < c.slower.size(); i++)
		detail[c.slower[i].s] = i + 1;
	for (size_t i = 0; i < c.both.size() && i < max_table_rows; i++)
	{
		const Row &row = c.both[i];
		const StatementPart &o = old_of(row);
		const StatementPart &n = new_of(row);
		auto d = detail.find(row.s);
		std::string cls = row.ratio >= 1.1 ? " up" : (row.ratio <= 0.9 ? " down" : "");
		out << "<tr class=\"row\">"
		    << statement_cell(row, d != detail.end() ? "c" + std::to_string(d->second) : "")
		    << cell(o.calls) << cell(n.calls) << cell(o.mean_ms, human_ms(o.mean_ms))
		    << cell(n.mean_ms, human_ms(n.mean_ms)) << "<td class=\"n ratio" << cls
		    << "\" data-v=\"" << (std::isinf(row.ratio) ? std::string("inf") : fixed(row.ratio, 6))
		    << "\">" << ratio_text(row.ratio) << "</td>" << cell(o.p95_ms, human_ms(o.p95_ms))
		    << cell(n.p95_ms, human_ms(n.p95_ms)) << cell(o.elapsed_ms, human_ms(o.elapsed_ms))
		    << cell(n.elapsed_ms, human_ms(n.elapsed_ms))
		    << cell(row.impact_ms, signed_ms(row.impact_ms)) << "</tr>\n";
	}
	out << "</tbody></table>\n<p class=\"legend\">Statements are matched by their normalized text "
	       "in a database of the same name. Change: the new mean elapsed time over the old. Cost: "
	       "the change of the mean times the calls in the new trace, what the change cost (or "
	       "saved) there.";
	if (c.both.size() > max_table_rows)
		out << " " << with_separators(static_cast<long long>(c.both.size() - max_table_rows))
		    << " more statements are in the CSV and JSON forms (--format).";
	out << "</p></section>\n";
}

void write_one_side(const std::vector<Row> &rows, bool added, OutputFile &out)
{
	const char *id = added ? "new" : "gone";
	out << "<section id=\"" << id << "\"><h2>" << (added ? "New statements" : "Gone statements")
	    << " <span class=\"count\">" << (added ? "only in the new trace" : "only in the old trace")
	    << ", " << with_separators(static_cast<long long>(rows.size())) << "</span></h2>\n";
	if (rows.empty())
	{
		out << "<p class=\"muted\">None.</p></section>\n";
		return;
	}
	out << "<table class=\"compare\"><thead><tr><th>Statement</th><th class=\"n\">Calls</th>"
	       "<th class=\"n\">Total</th><th class=\"n\">Mean</th><th class=\"n\">p95</th>"
	       "<th class=\"n\">Failed</th></tr></thead><tbody>\n";
	for (size_t i = 0; i < rows.size() && i < max_table_rows; i++)
	{
		const StatementPart &p = added ? new_of(rows[i]) : old_of(rows[i]);
		out << "<tr class=\"row\">" << statement_cell(rows[i], "") << cell(p.calls)
		    << cell(p.elapsed_ms, human_ms(p.elapsed_ms)) << cell(p.mean_ms, human_ms(p.mean_ms))
		    << cell(p.p95_ms, human_ms(p.p95_ms)) << cell(p.failed) << "</tr>\n";
	}
	out << "</tbody></table>";
	if (rows.size() > max_table_rows)
		out << "<p class=\"legend\">"
		    << with_separators(static_cast<long long>(rows.size() - max_table_rows))
		    << " more in the CSV and JSON forms.</p>";
	out << "</section>\n";
}

void write_side(const char *which, const StatementPart &p, const std::vector<NodeChange> &changes,
                OutputFile &out)
{
	const Execution &e = p.plan_of_planned ? p.planned : p.slowest;
	out << "<div><h4>" << which << ": slowest of " << with_separators(p.calls) << " calls, "
	    << human_ms(p.slowest.elapsed_ms) << " elapsed (" << human_ms(p.slowest.execution_ms)
	    << " execution), ended " << esc(p.slowest.ended) << ", pid "
	    << std::to_string(p.slowest.pid) << "</h4>\n";
	if (p.plan_of_planned)
		out << "<p class=\"muted\">Its record has no plan ("
		    << esc(one_line_text(p.slowest.plan, 160))
		    << "); the slowest with one: " << human_ms(e.elapsed_ms) << ", pid "
		    << std::to_string(e.pid) << ".</p>\n";
	write_plan(p.plan, out, &changes);
	out << "</div>\n";
}

void write_detail(const Report &r, const Comparison &c, size_t top, OutputFile &out)
{
	if (c.slower.empty())
		return;
	out << "<section id=\"slower\"><h2>Slower statements in detail <span class=\"count\">mean at "
	       "least "
	    << fixed(slower_ratio, 0) << "\xC3\x97 the old one, "
	    << with_separators(static_cast<long long>(std::min(c.slower.size(), top))) << " of "
	    << with_separators(static_cast<long long>(c.slower.size())) << "</span></h2>\n";
	int first, last;
	histogram_range(r.top, first, last);
	for (size_t i = 0; i < c.slower.size() && i < top; i++)
	{
		const Row &row = c.slower[i];
		const StatementPart &o = old_of(row);
		const StatementPart &n = new_of(row);
		out << "<article class=\"stmt\" id=\"c" << std::to_string(i + 1) << "\" data-statement=\""
		    << row.s->key << "\"><h3>#" << std::to_string(i + 1)
		    << " <span class=\"muted\">\xC2\xB7 mean " << human_ms(o.mean_ms) << " \xE2\x86\x92 "
		    << human_ms(n.mean_ms) << " (" << ratio_text(row.ratio) << ") \xC2\xB7 p95 "
		    << human_ms(o.p95_ms) << " \xE2\x86\x92 " << human_ms(n.p95_ms) << " \xC2\xB7 calls "
		    << with_separators(o.calls) << " \xE2\x86\x92 " << with_separators(n.calls)
		    << " \xC2\xB7 cost " << signed_ms(row.impact_ms) << "</span></h3>\n<pre class=\"sql\">"
		    << esc(row.s->text) << "</pre>\n";
		out << "<div class=\"sides\"><div class=\"hist-box\">old: elapsed times of its calls<br/>"
		    << histogram_svg(o.histogram, first, last, 0, true)
		    << "</div><div class=\"hist-box\">new<br/>"
		    << histogram_svg(n.histogram, first, last, 3, true) << "</div></div>\n";
		std::vector<NodeChange> old_changes, new_changes;
		plan_changes(o.plan, n.plan, old_changes, new_changes);
		out << "<div class=\"sides\">";
		write_side("Old", o, old_changes, out);
		write_side("New", n, new_changes, out);
		out << "</div>\n<p class=\"legend\">\xE2\x96\xB2 marks the nodes whose own time grew most "
		       "(and their match in the old plan); each new node's change is its own time against "
		       "that of the node in the same place of the old plan (or of the same label).</p>"
		    << "</article>\n";
	}
	out << "</section>\n";
}

void write_html(const Report &r, const Comparison &c, const Options &options, OutputFile &out)
{
	const SourcePart &o = old_trace(r);
	const SourcePart &n = new_trace(r);
	auto comment = [](const SourcePart &p) {
		return p.trace.comment.empty() ? p.trace.id : p.trace.comment;
	};
	write_page_start(out, "vireo comparison: " + comment(o) + " \xE2\x86\x92 " + comment(n),
	                 "vireo trace comparison", comment(o) + " \xE2\x86\x92 " + comment(n),
	                 "old: trace <code>" + esc(o.trace.id) + "</code> on " + esc(o.label) +
	                     " \xC2\xB7 new: trace <code>" + esc(n.trace.id) + "</code> on " +
	                     esc(n.label) + " \xC2\xB7 generated " + esc(r.generated_at));
	write_answer(c, out);
	write_both_table(c, out);
	write_notes(r, out);
	write_detail(r, c, static_cast<size_t>(options.top), out);
	write_one_side(c.added, true, out);
	write_one_side(c.gone, false, out);
	write_overview(r, out);
	write_footer(r, out);
}

// ---- text ------------------------------------------------------------------------

void write_text(const Report &r, const Comparison &c, const Options &options, OutputFile &out,
                size_t width)
{
	std::string rule(std::min<size_t>(width, 100), '-');
	out << wrap("vireo comparison", "", width)
	    << wrap("old: " + trace_words(old_trace(r)), "  ", width)
	    << wrap("new: " + trace_words(new_trace(r)), "  ", width);
	if (!r.focus.empty())
		out << wrap("focus: " + r.focus, "  ", width);
	out << "\n" << pad("", 24) << lpad("old", 14) << lpad("new", 14) << lpad("change", 14) << "\n";
	for (const Line &l : overview_lines(r))
		out << pad("  " + l.name, 24) << lpad(l.old_value, 14) << lpad(l.new_value, 14)
		    << lpad(l.change, 14) << "\n";
	for (const std::string &note : r.notes)
		out << "\n" << wrap("note: " + note, "  ", width);

	out << "\n"
	    << with_separators(static_cast<long long>(c.slower.size())) << " of "
	    << with_separators(static_cast<long long>(c.both.size()))
	    << " statements in both traces got at least " << fixed(slower_ratio, 0) << "x slower; "
	    << with_separators(static_cast<long long>(c.added.size())) << " new, "
	    << with_separators(static_cast<long long>(c.gone.size())) << " gone\n\n";
	std::string head =
	    lpad("calls", 16) + lpad("mean", 21) + lpad("change", 10) + lpad("cost", 11) + "  ";
	size_t room = width > width_of(head) + 10 ? std::min<size_t>(width - width_of(head), 60) : 10;
	out << "Statements in both traces, by what the change of their mean cost\n"
	    << head << "statement\n";
	for (size_t i = 0; i < c.both.size() && i < max_table_rows; i++)
	{
		const Row &row = c.both[i];
		out << lpad(with_separators(old_of(row).calls) + " > " + with_separators(new_of(row).calls),
		            16)
		    << lpad(human_ms(old_of(row).mean_ms) + " > " + human_ms(new_of(row).mean_ms), 21)
		    << lpad(ratio_text(row.ratio), 10) << lpad(signed_ms(row.impact_ms), 11) << "  "
		    << printable(
		           one_line_text((row.slower ? "[slower] " : "") + row.s->short_text, room - 1))
		    << "\n";
	}
	for (const auto *side : {&c.added, &c.gone})
	{
		bool added = side == &c.added;
		out << "\n"
		    << (added ? "New statements (only in the new trace)"
		              : "Gone statements (only in the old trace)")
		    << "\n"
		    << lpad("calls", 11) << lpad("total", 11) << lpad("mean", 10) << "  statement\n";
		for (size_t i = 0; i < side->size() && i < max_table_rows; i++)
		{
			const StatementPart &p = added ? new_of((*side)[i]) : old_of((*side)[i]);
			out << lpad(with_separators(p.calls), 11) << lpad(human_ms(p.elapsed_ms), 11)
			    << lpad(human_ms(p.mean_ms), 10) << "  "
			    << printable(one_line_text((*side)[i].s->short_text, 60)) << "\n";
		}
		if (side->empty())
			out << "  none\n";
	}
	for (size_t i = 0; i < c.slower.size() && i < static_cast<size_t>(options.top); i++)
	{
		const Row &row = c.slower[i];
		const StatementPart &o = old_of(row);
		const StatementPart &n = new_of(row);
		out << "\n"
		    << rule << "\n"
		    << wrap("slower #" + std::to_string(i + 1) + "  mean " + human_ms(o.mean_ms) + " > " +
		                human_ms(n.mean_ms) + " (" + ratio_text(row.ratio) + "), p95 " +
		                human_ms(o.p95_ms) + " > " + human_ms(n.p95_ms) + ", calls " +
		                with_separators(o.calls) + " > " + with_separators(n.calls) + ", cost " +
		                signed_ms(row.impact_ms) + "    statement " + row.s->key,
		            "", width)
		    << "\n"
		    << wrap(row.s->text, "    ", width);
		std::vector<NodeChange> old_changes, new_changes;
		plan_changes(o.plan, n.plan, old_changes, new_changes);
		for (const auto &[label, p, changes] :
		     {std::tuple<const char *, const StatementPart *, const std::vector<NodeChange> *>{
		          "old", &o, &old_changes},
		      {"new", &n, &new_changes}})
		{
			out << "\n"
			    << wrap(std::string(label) + ": slowest execution " +
			                human_ms(p->slowest.elapsed_ms) + " elapsed (" +
			                human_ms(p->slowest.execution_ms) + " execution), ended " +
			                p->slowest.ended + ", pid " + std::to_string(p->slowest.pid) +
			                (p->plan_of_planned ? "; its record has no plan, the slowest with one:"
			                                    : ""),
			            "  ", width);
			write_plan_text(p->plan, out, width, changes);
		}
		out << wrap("^ marks the nodes whose own time grew most; each new node's change is against "
		            "the node in the same place of the old plan",
		            "  ", width);
	}
}

// ---- CSV and JSON ------------------------------------------------------------------

const char *kind_word(const Row &row)
{
	return row.kind == Row::Kind::both ? "both" : row.kind == Row::Kind::added ? "new" : "gone";
}

std::vector<const Row *> all_rows(const Comparison &c)
{
	std::vector<const Row *> rows;
	for (const auto *list : {&c.both, &c.added, &c.gone})
		for (const Row &row : *list)
			rows.push_back(&row);
	return rows;
}

std::string ms(double v)
{
	return fixed(v, 6);
}

void write_csv(const Comparison &c, OutputFile &out)
{
	out << "status,statement,database,calls_old,calls_new,mean_old_ms,mean_new_ms,mean_ratio,"
	       "p95_old_ms,p95_new_ms,total_old_ms,total_new_ms,cost_ms,failed_old,failed_new,slower,"
	       "query\r\n";
	for (const Row *row : all_rows(c))
	{
		const StatementPart &o = old_of(*row);
		const StatementPart &n = new_of(*row);
		std::string database;
		for (const std::string &d : row->s->databases)
			database += (database.empty() ? "" : ", ") + d;
		out << kind_word(*row) << "," << row->s->key << "," << csv_field(database) << ","
		    << std::to_string(o.calls) << "," << std::to_string(n.calls) << "," << ms(o.mean_ms)
		    << "," << ms(n.mean_ms) << ","
		    << (row->kind != Row::Kind::both || std::isinf(row->ratio) ? "" : fixed(row->ratio, 6))
		    << "," << ms(o.p95_ms) << "," << ms(n.p95_ms) << "," << ms(o.elapsed_ms) << ","
		    << ms(n.elapsed_ms) << "," << ms(row->impact_ms) << "," << std::to_string(o.failed)
		    << "," << std::to_string(n.failed) << "," << (row->slower ? "true" : "false") << ","
		    << csv_field(row->s->text) << "\r\n";
	}
}

std::string json_side(const StatementPart &p)
{
	if (p.calls == 0)
		return "null";
	return "{\"calls\": " + std::to_string(p.calls) + ", \"elapsed_ms\": " + ms(p.elapsed_ms) +
	       ", \"mean_elapsed_ms\": " + ms(p.mean_ms) + ", \"p95_elapsed_ms\": " + ms(p.p95_ms) +
	       ", \"max_elapsed_ms\": " + ms(p.max_ms) +
	       ", \"failed_calls\": " + std::to_string(p.failed) + "}";
}

std::string json_trace_side(const SourcePart &p)
{
	const TraceInfo &t = p.trace;
	const Overview &o = p.overview;
	return "{\"trace\": " + json_quote(t.id) + ", \"server\": " + json_quote(p.label) +
	       ", \"comment\": " + json_quote(t.comment) +
	       ", \"status\": " + json_quote(status_text(t.status)) +
	       ", \"plans\": " + json_quote(t.json ? "json" : "text") +
	       ", \"read_at\": " + json_quote(t.read_at) +
	       ", \"statements\": " + std::to_string(o.statements) +
	       ", \"normalized_statements\": " + std::to_string(o.normalized) +
	       ", \"sessions\": " + std::to_string(o.sessions) +
	       ", \"failed\": " + std::to_string(o.failed) + ", \"elapsed_ms\": " + ms(o.elapsed_ms) +
	       ", \"execution_ms\": " + ms(o.execution_ms) + ", \"first\": " + json_quote(o.first) +
	       ", \"last\": " + json_quote(o.last) + "}";
}

void write_json(const Report &r, const Comparison &c, bool after_calls, OutputFile &out)
{
	out << (after_calls ? "\n],\n" : "{") << "\"old\": " << json_trace_side(old_trace(r))
	    << ",\n\"new\": " << json_trace_side(new_trace(r)) << ",\n\"notes\": [";
	for (size_t i = 0; i < r.notes.size(); i++)
		out << (i > 0 ? ", " : "") << json_quote(r.notes[i]);
	out << "],\n\"statements\": [";
	bool first = true;
	for (const Row *row : all_rows(c))
	{
		std::string grown;
		if (row->slower)
		{
			std::vector<NodeChange> old_changes, new_changes;
			plan_changes(old_of(*row).plan, new_of(*row).plan, old_changes, new_changes);
			for (size_t i = 0; i < new_changes.size(); i++)
				if (new_changes[i].marked)
					grown +=
					    (grown.empty() ? "" : ", ") + json_quote(new_of(*row).plan.nodes[i].label);
		}
		out << (first ? "\n" : ",\n") << "{\"status\": \"" << kind_word(*row)
		    << "\", \"statement\": \"" << row->s->key << "\", \"old\": " << json_side(old_of(*row))
		    << ", \"new\": " << json_side(new_of(*row)) << ", \"mean_ratio\": "
		    << (row->kind != Row::Kind::both || std::isinf(row->ratio) ? std::string("null")
		                                                               : fixed(row->ratio, 6))
		    << ", \"cost_ms\": " << ms(row->impact_ms)
		    << ", \"slower\": " << (row->slower ? "true" : "false") << ", \"grown_nodes\": ["
		    << grown << "], \"query\": " << json_quote(row->s->text) << "}";
		first = false;
	}
	out << "\n]}\n";
}

} // namespace

void write_comparison(const Report &report, const Options &options, OutputFile &out, int width)
{
	Comparison c = compare(report);
	switch (options.format)
	{
		case OutputFormat::html:
			write_html(report, c, options, out);
			break;
		case OutputFormat::text:
			write_text(report, c, options, out, static_cast<size_t>(std::clamp(width, 60, 250)));
			break;
		case OutputFormat::csv:
			if (!options.calls)
				write_csv(c, out);
			break;
		case OutputFormat::json:
			write_json(report, c, options.calls, out);
			break;
	}
}
