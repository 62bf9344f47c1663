// The report for a terminal: a head with the trace, a ranked table of one
// line per statement fitted to the terminal's width, then one block per
// statement with its numbers, its text and the plan of its slowest
// execution, every line wrapped to the width.  Durations in the unit that
// reads best, as on the page.
#include "format.hpp"
#include "html_parts.hpp"
#include "text_parts.hpp"
#include "trace_source.hpp"
#include "writers.hpp"

#include <algorithm>
#include <cmath>

// Characters, not bytes: UTF-8 continuation bytes do not count.
size_t width_of(std::string_view s)
{
	size_t n = 0;
	for (char c : s)
		n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
	return n;
}

std::string pad(const std::string &s, size_t width)
{
	size_t w = width_of(s);
	return w >= width ? s : s + std::string(width - w, ' ');
}

std::string lpad(const std::string &s, size_t width)
{
	size_t w = width_of(s);
	return w >= width ? s : std::string(width - w, ' ') + s;
}

// The first max characters.
std::string cut(const std::string &s, size_t max)
{
	size_t n = 0;
	for (size_t i = 0; i < s.size(); i++)
	{
		if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && n++ == max)
			return s.substr(0, i);
	}
	return s;
}

// Each line of text after prefix, broken at blanks (or anywhere, for a
// long word) so that no line is wider than width; continuation lines get
// blanks in place of the prefix.
std::string wrap(std::string_view text, const std::string &prefix, size_t width)
{
	const std::string indent_only(width_of(prefix), ' ');
	size_t room = width > width_of(prefix) + 20 ? width - width_of(prefix) : 20;
	std::string out;
	size_t start = 0;
	while (start <= text.size())
	{
		size_t end = text.find('\n', start);
		std::string line = printable(
		    text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
		size_t lead = std::min(line.find_first_not_of(' '), line.size());
		std::string hang(std::min(lead + 2, room / 2), ' ');
		bool first = true;
		while (width_of(line) > room)
		{
			std::string head = cut(line, room);
			size_t blank = head.rfind(' ');
			if (blank != std::string::npos && blank > lead + 8)
				head = head.substr(0, blank);
			out += (first ? prefix : indent_only) + head + "\n";
			line = hang + line.substr(head.size() + (blank != std::string::npos &&
			                                                 head.size() == blank
			                                             ? 1
			                                             : 0));
			first = false;
		}
		out += (first ? prefix : indent_only) + line + "\n";
		if (end == std::string_view::npos)
			break;
		start = end + 1;
	}
	return out;
}

namespace {

std::string count(long long v)
{
	return with_separators(v);
}

// "label value" pairs, a few to a line.
std::string pairs(const std::vector<std::pair<std::string, std::string>> &items)
{
	std::string line = "   ";
	for (const auto &item : items)
		line += " " + pad(item.first, 10) + lpad(item.second, 11) + "   ";
	while (!line.empty() && line.back() == ' ')
		line.pop_back();
	return line + "\n";
}

std::string percent_of(const Report &r, const Statement &s)
{
	return r.sort_execution ? percent(s.execution_ms, r.overview.execution_ms)
	                        : percent(s.elapsed_ms, r.overview.elapsed_ms);
}

// A server's line in the head of a report of several.
void write_server(const SourcePart &p, const Report &r, OutputFile &out, size_t width)
{
	const Overview &o = p.overview;
	if (!p.unreachable.empty())
	{
		out << wrap(p.label + ": trace " + p.trace.id + ", could not be reached: " + p.unreachable,
		            "  ", width);
		return;
	}
	std::string sampled = sampling_words(p.trace);
	out << wrap(p.label + ": trace " + p.trace.id + " \"" + p.trace.comment + "\", " +
	                status_text(p.trace.status) + ", " + (p.trace.json ? "JSON" : "text") + " plans, " +
	                (p.trace.loaded ? "loaded " : "streamed ") + p.trace.read_at +
	                (sampled.empty() ? "" : "; " + sampled),
	            "  ", width)
	    << wrap("statements " + count(o.statements) + " (" + count(o.normalized) + " normalized, " +
	                count(o.nested) + " nested" +
	                (o.failed > 0 ? ", " + count(o.failed) + " failed" : std::string()) + ") in " +
	                count(o.sessions) + (o.sessions == 1 ? " session" : " sessions") + "; elapsed " +
	                human_ms(o.elapsed_ms) + " (" + percent(o.elapsed_ms, r.overview.elapsed_ms) +
	                "), execution " + human_ms(o.execution_ms) +
	                (o.busiest_second.empty() ? std::string() : "; busiest second " + o.busiest_second),
	            "      ", width);
}

void write_head(const Report &r, OutputFile &out, size_t width)
{
	const TraceInfo &t = r.trace;
	const Overview &o = r.overview;
	if (r.sources.size() > 1)
	{
		out << wrap("vireo traces of " + count(static_cast<long long>(r.sources.size())) + " servers", "",
		            width);
		for (const SourcePart &p : r.sources)
			write_server(p, r, out, width);
		if (!r.focus.empty())
			out << wrap("focus: " + r.focus, "  ", width);
	}
	else
	{
		std::string sampled = sampling_words(t);
		out << wrap("vireo trace " + t.id + "  " +
		                (t.comment.empty() ? "(no comment)" : "\"" + t.comment + "\""),
		            "", width)
		    << wrap("owner " + t.owner + ", " + status_text(t.status) + ", " +
		                (t.json ? "JSON" : "text") + " plans (version " + fixed(t.version, 1) + ")",
		            "  ", width)
		    << wrap("started " + t.start +
		                (!t.finish.empty() ? ", ended " + t.finish
		                                   : !t.end.empty() ? ", planned end " + t.end : std::string()),
		            "  ", width)
		    << wrap((t.loaded ? "loaded " : "streamed ") + t.read_at + " from database " +
		                t.database + " on " + t.server,
		            "  ", width);
		if (!sampled.empty())
			out << wrap("recorded: " + sampled, "  ", width);
		if (!r.focus.empty())
			out << wrap("focus: " + r.focus, "  ", width);
	}
	out << "\n"
	    << wrap("statements " + count(o.statements) + " (" + count(o.normalized) + " normalized, " +
	                count(o.distinct) + " distinct texts, " + count(o.nested) + " nested) in " +
	                count(o.sessions) + (o.sessions == 1 ? " session" : " sessions"),
	            "  ", width);
	if (o.not_parsed > 0)
		out << wrap(count(o.not_parsed) + " statements could not be parsed: each text stands as itself",
		            "  ", width);
	if (o.failed > 0)
		out << wrap(count(o.failed) + " statements ended in an error (below: failed statements)", "  ",
		            width);
	out << wrap("elapsed " + human_ms(o.elapsed_ms) + ", execution " + human_ms(o.execution_ms) +
	                " (top-level statements)" +
	                (o.statements > 0 ? ", from " + o.first + " to " + o.last : std::string()),
	            "  ", width);
	if (!o.busiest_second.empty())
		out << wrap("busiest second " + o.busiest_second + ": " + count(o.busiest_statements) +
		                " statements ended, " + human_ms(o.busiest_busy_ms) + " in statements",
		            "  ", width);
	for (const std::string &note : r.notes)
		out << "\n" << wrap("note: " + note, "  ", width);
}

// One line per statement: rank, calls, total, mean, p95, share and as much
// of its text as the width leaves (at most 60 characters).
void write_table(const Report &r, OutputFile &out, size_t width)
{
	const char *time = r.sort_execution ? "execution" : "elapsed";
	std::string head = lpad("#", 4) + lpad("calls", 11) + lpad(time, 11) + lpad("mean", 10) +
	                   lpad("p95", 10) + lpad("share", 7) + "  ";
	size_t room = width > width_of(head) + 10 ? std::min<size_t>(width - width_of(head), 60) : 10;
	out << "\n" << head << "statement\n";
	for (const Statement &s : r.top)
	{
		double total = r.sort_execution ? s.execution_ms : s.elapsed_ms;
		double mean = r.sort_execution ? s.execution_mean_ms : s.mean_ms;
		double p95 = r.sort_execution ? s.execution_p95_ms : s.p95_ms;
		out << lpad(count(s.rank), 4) << lpad(count(s.calls), 11) << lpad(human_ms(total), 11)
		    << lpad(human_ms(mean), 10) << lpad(human_ms(p95), 10) << lpad(percent_of(r, s), 7)
		    << "  " << printable(one_line_text(s.short_text, room - 1)) << "\n";
	}
	if (r.others_count > 0)
		out << lpad("", 4) << lpad(count(r.others_calls), 11)
		    << lpad(human_ms(r.others_elapsed_ms), 11) << "  " << count(r.others_count)
		    << " other statements\n";
}

} // namespace

void write_plan_text(const Plan &plan, OutputFile &out, size_t width,
                     const std::vector<NodeChange> *changes)
{
	auto change = [changes](size_t node) {
		if (changes == nullptr)
			return std::string();
		const NodeChange &c = (*changes)[node];
		return lpad((c.marked ? "^ " : "") + c.note, 12) + " ";
	};
	if (plan.nodes.empty())
	{
		out << wrap(plan.note.empty() ? std::string("no plan was recorded") : plan.note, "    ", width);
		return;
	}
	double whole = plan.whole_ms();
	int hottest = plan.hottest();
	if (plan.json)
	{
		for (size_t i = 0; i < plan.nodes.size(); i++)
		{
			const PlanNode &n = plan.nodes[i];
			std::string line = change(i) + lpad(human_ms(n.self_ms), 10) + lpad(percent(n.self_ms, whole), 7) +
			                   (static_cast<int>(i) == hottest ? " * " : "   ") +
			                   std::string(static_cast<size_t>(2 * n.depth), ' ') +
			                   (n.depth > 0 ? "-> " : "") + n.label + "  (rows " +
			                   count(std::llround(n.rows)) + " of " + count(std::llround(n.plan_rows)) +
			                   " planned, loops " + count(std::llround(n.loops)) + ")";
			out << wrap(line, "  ", width);
			if (!n.detail.empty())
				out << wrap(n.detail, std::string(24 + 2 * static_cast<size_t>(n.depth), ' '), width);
		}
	}
	else
	{
		std::vector<int> node_of(plan.lines.size(), -1);
		for (size_t i = 0; i < plan.nodes.size(); i++)
			if (plan.nodes[i].line >= 0)
				node_of[static_cast<size_t>(plan.nodes[i].line)] = static_cast<int>(i);
		for (size_t l = 0; l < plan.lines.size(); l++)
		{
			int n = node_of[l];
			std::string gutter = n >= 0 && whole > 0
			                         ? lpad(percent(plan.nodes[static_cast<size_t>(n)].self_ms, whole), 6) +
			                               (n == hottest ? " *" : "  ")
			                         : std::string(8, ' ');
			if (changes != nullptr)
				gutter = (n >= 0 ? change(static_cast<size_t>(n)) : std::string(13, ' ')) + gutter;
			out << wrap(plan.lines[l], "  " + gutter + "  ", width);
		}
	}
	for (const TriggerTime &t : plan.triggers)
		out << wrap("trigger " + t.name + (t.relation.empty() ? "" : " on " + t.relation) + ": " +
		                human_ms(t.ms) + " in " + count(static_cast<long long>(t.calls)) +
		                " calls (a BEFORE trigger's time is inside the nodes above, an AFTER "
		                "trigger's follows the plan)",
		            "    ", width);
	if (!plan.jit.empty())
		out << wrap(plan.jit + " (compiled while the nodes above ran: part of their time)", "    ",
		            width);
}

namespace {

std::string list(const std::vector<std::string> &items, long long more)
{
	std::string out;
	for (const std::string &item : items)
		out += (out.empty() ? "" : ", ") + item;
	if (more > 0)
		out += " and more";
	return out.empty() ? "-" : out;
}

void write_statement(const Report &r, const Statement &s, OutputFile &out, size_t width)
{
	std::string rule(std::min<size_t>(width, 100), '-');
	out << "\n"
	    << rule << "\n"
	    << "#" << count(s.rank) << "  " << human_ms(r.sort_execution ? s.execution_ms : s.elapsed_ms)
	    << (r.sort_execution ? " execution, " : " elapsed, ") << percent_of(r, s)
	    << " of the time    statement " << s.key << "\n\n"
	    << pairs({{"calls", count(s.calls)}, {"rows", count(s.rows)}, {"sessions", count(s.sessions)}})
	    << pairs({{"elapsed", human_ms(s.elapsed_ms)}, {"mean", human_ms(s.mean_ms)}, {"p95", human_ms(s.p95_ms)}})
	    << pairs({{"min", human_ms(s.min_ms)}, {"max", human_ms(s.max_ms)}})
	    << pairs({{"execution", human_ms(s.execution_ms)},
	              {"mean", human_ms(s.execution_mean_ms)},
	              {"p95", human_ms(s.execution_p95_ms)}})
	    << pairs({{"hits", count(s.hits)}, {"reads", count(s.reads)}})
	    << pairs({{"temp read", count(s.temp_read)}, {"temp wr", count(s.temp_written)}})
	    << pairs({{"csw vol", count(s.csw_voluntary)}, {"csw invol", count(s.csw_involuntary)}})
	    << pairs({{"majflt", count(s.faults_major)}, {"minflt", count(s.faults_minor)}});
	out << wrap("database " + list(s.databases, 0) + "; users " + list(s.users, 0) +
	                "; applications " + list(s.applications, s.more_applications),
	            "    ", width);
	if (s.failed > 0)
		out << wrap(failed_words(s.failed, s.sqlstates), "    ", width);
	for (size_t i = 0; i < s.by_source.size(); i++)
	{
		const StatementPart &p = s.by_source[i];
		if (p.calls > 0)
			out << wrap(r.sources[i].label + ": calls " + count(p.calls) + ", elapsed " +
			                human_ms(p.elapsed_ms) + " (" + percent(p.elapsed_ms, s.elapsed_ms) +
			                "), mean " + human_ms(p.mean_ms) + ", p95 " + human_ms(p.p95_ms) + ", max " +
			                human_ms(p.max_ms) + ", rows " + count(p.rows) +
			                (p.failed > 0 ? ", failed " + count(p.failed) : std::string()),
			            "    ", width);
	}
	if (!s.params.empty())
		out << "    params  " << printable(s.params) << "\n";
	out << "\n" << wrap(s.text, "    ", width);
	if (s.text_length > static_cast<long long>(s.text.size()))
		out << "    ... (" << count(s.text_length) << " characters in all)\n";
	if (!s.parsed)
		out << "    (the parser could not read this text: it stands as itself)\n";
	if (s.distinct_texts > 1)
	{
		std::vector<Variant> shown = frequent_variants(s);
		out << "\n  " << (s.distinct_exact ? "" : "about ") << count(s.distinct_texts)
		    << " distinct texts" << (shown.empty() ? ", none called much more than the others\n" : "; the most called:\n");
		for (size_t i = 0; i < shown.size() && i < 3; i++)
		{
			const Variant &v = shown[i];
			out << wrap((s.variants_exact ? "" : "at least ") + count(v.calls - v.error) + " calls: " +
			                one_line_text(v.text, 300),
			            "    ", width);
		}
	}
	const Execution &e = s.slowest;
	out << "\n"
	    << wrap("slowest execution: " + human_ms(e.elapsed_ms) + " elapsed (" +
	                human_ms(e.execution_ms) + " execution), ended " + e.ended + ", pid " +
	                std::to_string(e.pid) +
	                (r.sources.size() > 1 ? " on " + r.sources[static_cast<size_t>(e.source)].label
	                                      : std::string()),
	            "  ", width);
	if (e.text != s.text)
		out << wrap(e.text, "    ", width);
	if (s.plan_of_planned)
		out << wrap("its record has no plan; the plan of the slowest execution that has one (" +
		                human_ms(s.planned.elapsed_ms) + ", pid " + std::to_string(s.planned.pid) + "):",
		            "  ", width);
	write_plan_text(s.plan, out, width);
}

void write_failures(const Report &r, OutputFile &out, size_t width)
{
	if (r.failures.empty())
		return;
	std::string rule(std::min<size_t>(width, 100), '-');
	out << "\n" << rule << "\nFailed statements: " << count(r.overview.failed)
	    << " calls ended in an error\n\n"
	    << lpad("sqlstate", 10) << lpad("calls", 11) << lpad("elapsed", 11) << lpad("stmts", 7)
	    << "  message (of the slowest)\n";
	for (const FailureRow &f : r.failures)
		out << wrap(lpad(f.sqlstate, 10) + lpad(count(f.calls), 11) + lpad(human_ms(f.elapsed_ms), 11) +
		                lpad(count(f.statements), 7) + "  " + one_line_text(f.message, 400),
		            "", width);
	out << "\n  the slowest failed calls:\n";
	for (const FailedCallRow &c : r.failed_calls)
		out << wrap(lpad(human_ms(c.elapsed_ms), 10) + "  " + c.sqlstate + "  ended " + c.ended +
		                ", pid " + std::to_string(c.pid) + (c.server.empty() ? "" : " on " + c.server) +
		                (c.rank > 0 ? ", #" + std::to_string(c.rank) : std::string()) + ": " +
		                one_line_text(c.message, 300) + " \xE2\x80\x94 " + one_line_text(c.short_text, 120),
		            "  ", width);
}

} // namespace

void write_text_report(const Report &report, OutputFile &out, int columns)
{
	size_t width = static_cast<size_t>(std::clamp(columns, 60, 250));
	write_head(report, out, width);
	out << "\nTop " << count(static_cast<long long>(report.top.size())) << " of "
	    << count(report.overview.normalized) << " statements by " << report.sort << "\n";
	write_table(report, out, width);
	for (const Statement &s : report.top)
		write_statement(report, s, out, width);
	write_failures(report, out, width);
	out << "\n"
	    << std::string(std::min<size_t>(width, 100), '-') << "\n"
	    << wrap("Elapsed: from the statement's start (when the server took it) to its end, with "
	            "parsing, planning, lock waits and triggers; capped at the session's next "
	            "statement. Execution: the plan's run. Statements are normalized (constants as "
	            "$1, $2, ...). Buffers: from the plan's top node, else the difference to the "
	            "previous record of the same process. Totals and shares count top-level "
	            "statements.",
	            "", width);
}
