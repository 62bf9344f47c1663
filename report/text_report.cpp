// The ranked summary for a terminal, in the manner of trace formatters: a
// head with the trace, then one block per statement with its numbers, its
// text and the plan of its slowest execution.  Times in ms with three
// decimals and counts without separators, so that they are easy to read by
// eye and by script alike.
#include "format.hpp"
#include "text_plan.hpp"
#include "trace_source.hpp"
#include "writers.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

const std::string rule(78, '=');
const std::string thin(78, '-');

std::string ms(double v)
{
	return fixed(v, 3) + " ms";
}

std::string count(long long v)
{
	return std::to_string(v);
}

std::string pad(const std::string &s, size_t width)
{
	return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string lpad(const std::string &s, size_t width)
{
	return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

// "label  value" pairs, a few to a line.
std::string pairs(const std::vector<std::pair<std::string, std::string>> &items)
{
	std::string line = "   ";
	for (const auto &item : items)
		line += " " + pad(item.first, 8) + lpad(item.second, 15) + "   ";
	while (!line.empty() && line.back() == ' ')
		line.pop_back();
	return line + "\n";
}

void write_head(const Report &r, OutputFile &out)
{
	const TraceInfo &t = r.trace;
	const Overview &o = r.overview;
	out << "vireo trace " << t.id << "  "
	    << printable(t.comment.empty() ? "(no comment)" : "\"" + t.comment + "\"") << "\n"
	    << "  owner " << printable(t.owner) << ", " << status_text(t.status) << ", "
	    << (t.json ? "JSON" : "text") << " plans (version " << fixed(t.version, 1) << ")\n"
	    << "  started " << t.start;
	if (!t.finish.empty())
		out << ", ended " << t.finish;
	else if (!t.end.empty())
		out << ", planned end " << t.end;
	out << "\n  loaded " << t.loaded_at << " from database " << printable(t.database) << " on "
	    << printable(t.server) << "\n";
	if (!r.focus.empty())
		out << "  focus: " << printable(r.focus) << "\n";
	out << "\n"
	    << "  statements " << count(o.statements) << " (" << count(o.distinct) << " distinct, "
	    << count(o.nested) << " nested) in " << count(o.sessions)
	    << (o.sessions == 1 ? " session\n" : " sessions\n") << "  total time " << ms(o.total_ms)
	    << " (top-level statements)";
	if (o.statements > 0)
		out << ", from " << o.first << " to " << o.last;
	out << "\n";
	if (!o.busiest_second.empty())
		out << "  busiest second " << o.busiest_second << ": " << count(o.busiest_statements)
		    << " statements, " << ms(o.busiest_busy_ms) << " busy\n";
	for (const std::string &note : r.notes)
		out << "\n  note: " << printable(note) << "\n";
}

void write_plan(const Statement &s, OutputFile &out)
{
	if (!s.plan_nodes.empty())
	{
		out << "    " << lpad("self", 13) << lpad("share", 8) << "  node (rows, planned, loops)\n";
		double whole = s.plan_nodes.front().total_ms;
		for (const PlanNode &n : s.plan_nodes)
		{
			out << "    " << lpad(ms(n.self_ms), 13) << lpad(percent(n.self_ms, whole), 8) << "  "
			    << std::string(static_cast<size_t>(2 * n.depth), ' ') << (n.depth > 0 ? "-> " : "")
			    << printable(n.label) << "  (" << count(std::llround(n.rows)) << ", "
			    << count(std::llround(n.plan_rows)) << ", " << count(std::llround(n.loops))
			    << ")\n";
			if (!n.detail.empty())
				out << "    "
				    << std::string(21 + 2 * static_cast<size_t>(n.depth) + (n.depth > 0 ? 5 : 2),
				                   ' ')
				    << printable(n.detail) << "\n";
		}
		for (const TriggerTime &t : s.triggers)
			out << "    " << lpad(ms(t.ms), 13) << "          trigger " << printable(t.name)
			    << (t.relation.empty() ? "" : " on " + printable(t.relation)) << " ("
			    << count(static_cast<long long>(t.calls)) << " calls, after the plan)\n";
		return;
	}
	std::vector<TextPlanLine> lines = analyse_text_plan(s.plan_text);
	double whole = 0;
	for (const TextPlanLine &l : lines)
		whole += l.node ? l.self_ms : 0;
	for (const TextPlanLine &l : lines)
		out << "    "
		    << (l.node && whole > 0 ? lpad(percent(l.self_ms, whole), 6) : std::string(6, ' '))
		    << "  " << printable(l.text) << "\n";
}

void write_statement(const Report &r, const Statement &s, OutputFile &out)
{
	out << "\n"
	    << thin << "\n"
	    << "#" << count(s.rank) << "  " << ms(s.total_ms) << " total, "
	    << percent(s.total_ms, r.overview.total_ms) << " of the time    query id "
	    << count(s.query_id) << "\n\n"
	    << pairs({{"calls", count(s.calls)},
	              {"rows", count(s.rows)},
	              {"sessions", count(s.sessions)}})
	    << pairs({{"total", ms(s.total_ms)}, {"mean", ms(s.mean_ms)}, {"p95", ms(s.p95_ms)}})
	    << pairs({{"min", ms(s.min_ms)}, {"max", ms(s.max_ms)}})
	    << pairs({{"hits", count(s.hits)}, {"reads", count(s.reads)}})
	    << pairs({{"temp rd", count(s.temp_read)}, {"temp wr", count(s.temp_written)}})
	    << pairs({{"csw vol", count(s.csw_voluntary)}, {"csw inv", count(s.csw_involuntary)}})
	    << pairs({{"majflt", count(s.faults_major)}, {"minflt", count(s.faults_minor)}});
	if (!s.params.empty())
		out << "    params  " << printable(s.params) << "\n";
	out << "\n" << indent(printable(s.text), "    ");
	if (s.text_length > static_cast<long long>(s.text.size()))
		out << "    ... (" << count(s.text_length) << " characters in all)\n";
	out << "\n  slowest execution: " << ms(s.slowest_ms) << ", ended " << s.slowest_at << ", pid "
	    << count(s.slowest_pid) << "\n";
	write_plan(s, out);
}

} // namespace

void write_text_report(const Report &report, OutputFile &out)
{
	write_head(report, out);
	out << "\n"
	    << rule << "\n"
	    << "Top " << count(static_cast<long long>(report.top.size())) << " of "
	    << count(report.overview.distinct) << " statements by " << report.sort << "\n"
	    << rule << "\n";
	long long calls = 0;
	double total = 0;
	for (const Statement &s : report.top)
	{
		write_statement(report, s, out);
		calls += s.calls;
		total += s.total_ms;
	}
	long long others = report.overview.distinct - static_cast<long long>(report.top.size());
	out << "\n" << thin << "\n";
	if (others > 0)
		out << "other statements: " << count(others) << " distinct, "
		    << count(report.overview.statements - calls) << " calls, "
		    << ms(std::max(report.overview.all_ms - total, 0.0)) << " total\n";
	out << "Buffers are the differences to the previous record of the same process; hits and\n"
	       "reads count shared buffers; total and share count top-level statements.\n";
}
