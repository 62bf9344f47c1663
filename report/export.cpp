// CSV and JSON for spreadsheets and other tools.  Times are in ms with
// microseconds; moments in ISO 8601 with the offset.
#include "format.hpp"
#include "json.hpp"
#include "trace_source.hpp"
#include "writers.hpp"

namespace {

std::string iso_time(int64_t us)
{
	std::string t = format_time(us, "%Y-%m-%dT%H:%M:%S", false, false);
	int64_t micros = us % 1000000;
	if (micros < 0)
		micros += 1000000;
	char fraction[16];
	std::snprintf(fraction, sizeof fraction, ".%06lld", static_cast<long long>(micros));
	return t + fraction + format_time(us, "%z", false, false);
}

std::string ms(double v)
{
	return fixed(v, 6);
}

std::string json_list(const std::vector<std::string> &items)
{
	std::string out = "[";
	for (size_t i = 0; i < items.size(); i++)
		out += (i > 0 ? ", " : "") + json_quote(items[i]);
	return out + "]";
}

std::string joined(const std::vector<std::string> &items)
{
	std::string out;
	for (const std::string &item : items)
		out += (out.empty() ? "" : ", ") + item;
	return out;
}

double share(const Statement &s, const Report &r)
{
	double whole = r.sort_execution ? r.overview.execution_ms : r.overview.elapsed_ms;
	double part = r.sort_execution ? s.execution_ms : s.elapsed_ms;
	return whole > 0 ? 100.0 * part / whole : 0;
}

void json_trace(const TraceInfo &t, OutputFile &out)
{
	out << "\"trace\": {\"id\": " << json_quote(t.id) << ", \"comment\": " << json_quote(t.comment)
	    << ", \"owner\": " << json_quote(t.owner) << ", \"status\": " << json_quote(status_text(t.status))
	    << ", \"plans\": " << json_quote(t.json ? "json" : "text") << ", \"started\": "
	    << json_quote(t.start) << ", \"ended\": " << json_quote(t.finish)
	    << ", \"read_at\": " << json_quote(t.read_at) << ", \"database\": " << json_quote(t.database)
	    << ", \"server\": " << json_quote(t.server) << ", \"standby\": " << (t.standby ? "true" : "false")
	    << ", \"sample_rate\": " << (t.sample_rate ? fixed(*t.sample_rate, 6) : std::string("null"))
	    << ", \"plan_min_duration_ms\": "
	    << (t.plan_min_duration_ms ? ms(*t.plan_min_duration_ms) : std::string("null")) << "}";
}

std::string json_overview(const Overview &o)
{
	return "{\"statements\": " + std::to_string(o.statements) +
	       ", \"normalized_statements\": " + std::to_string(o.normalized) +
	       ", \"distinct_texts\": " + std::to_string(o.distinct) +
	       ", \"not_parsed\": " + std::to_string(o.not_parsed) +
	       ", \"sessions\": " + std::to_string(o.sessions) + ", \"nested\": " + std::to_string(o.nested) +
	       ", \"unknown_buffers\": " + std::to_string(o.unknown_buffers) +
	       ", \"failed\": " + std::to_string(o.failed) + ", \"elapsed_ms\": " + ms(o.elapsed_ms) +
	       ", \"execution_ms\": " + ms(o.execution_ms) + ", \"all_elapsed_ms\": " + ms(o.all_elapsed_ms) +
	       ", \"all_execution_ms\": " + ms(o.all_execution_ms) + ", \"first\": " + json_quote(o.first) +
	       ", \"last\": " + json_quote(o.last) + ", \"busiest_second\": " + json_quote(o.busiest_second);
}

std::string json_sqlstates(const std::vector<std::pair<std::string, long long>> &states)
{
	std::string out = "{";
	for (const auto &s : states)
		out += (out.size() > 1 ? ", " : "") + json_quote(s.first) + ": " + std::to_string(s.second);
	return out + "}";
}

} // namespace

CallWriter::CallWriter(OutputFormat format, OutputFile &out, const TraceInfo &trace,
                       const NameBook &names, std::vector<std::string> sources)
    : format_(format), out_(out), trace_(trace), names_(names), sources_(std::move(sources))
{
}

void CallWriter::add(const Call &c)
{
	const TraceRecord &r = *c.record;
	if (format_ == OutputFormat::csv)
	{
		if (rows_ == 0)
			out_ << "statement,pid,start,end,elapsed_ms,execution_ms,rows,shared_hit,shared_read,"
			        "temp_read,temp_written,buffers_from,database,user,application,query,sqlstate"
			     << (sources_.empty() ? "" : ",source") << "\r\n";
		out_ << std::string(c.key) << "," << std::to_string(r.pid) << "," << iso_time(c.start_us)
		     << "," << iso_time(c.end_us) << "," << ms(c.elapsed_ms) << "," << ms(c.execution_ms)
		     << "," << std::to_string(r.rows) << "," << std::to_string(c.hits) << ","
		     << std::to_string(c.reads) << "," << std::to_string(c.temp_read) << ","
		     << std::to_string(c.temp_written) << "," << c.buffers_from << ","
		     << csv_field(names_.database_name(r.db_id)) << "," << csv_field(names_.role_name(r.user_id))
		     << "," << csv_field(r.appl_name) << "," << csv_field(r.query) << "," << std::string(c.sqlstate)
		     << (sources_.empty() ? "" : "," + csv_field(sources_[static_cast<size_t>(r.source)]))
		     << "\r\n";
	}
	else
	{
		if (rows_ == 0)
		{
			out_ << "{";
			json_trace(trace_, out_);
			out_ << ",\n\"calls\": [\n";
		}
		else
			out_ << ",\n";
		out_ << "{\"statement\": \"" << std::string(c.key) << "\", \"pid\": " << std::to_string(r.pid)
		     << ", \"start\": \"" << iso_time(c.start_us) << "\", \"end\": \"" << iso_time(c.end_us)
		     << "\", \"elapsed_ms\": " << ms(c.elapsed_ms) << ", \"execution_ms\": "
		     << ms(c.execution_ms) << ", \"rows\": " << std::to_string(r.rows)
		     << ", \"shared_hit\": " << std::to_string(c.hits) << ", \"shared_read\": "
		     << std::to_string(c.reads) << ", \"temp_read\": " << std::to_string(c.temp_read)
		     << ", \"temp_written\": " << std::to_string(c.temp_written) << ", \"buffers_from\": \""
		     << c.buffers_from << "\", \"database\": " << json_quote(names_.database_name(r.db_id))
		     << ", \"user\": " << json_quote(names_.role_name(r.user_id)) << ", \"application\": "
		     << (r.appl_null ? std::string("null") : json_quote(r.appl_name))
		     << ", \"query\": " << json_quote(r.query) << ", \"sqlstate\": "
		     << (c.sqlstate.empty() ? std::string("null") : json_quote(c.sqlstate))
		     << (sources_.empty() ? ""
		                          : ", \"source\": " + json_quote(sources_[static_cast<size_t>(r.source)]))
		     << "}";
	}
	rows_++;
}

namespace {

std::string sqlstate_list(const std::vector<std::pair<std::string, long long>> &states)
{
	std::string out;
	for (const auto &s : states)
		out += (out.empty() ? "" : " ") + s.first + ":" + std::to_string(s.second);
	return out;
}

// With several sources: a row per statement and source, of what is known
// per source (the other fields empty).
void write_csv_parts(const Report &r, const Statement &s, OutputFile &out)
{
	for (size_t i = 0; i < s.by_source.size(); i++)
	{
		const StatementPart &p = s.by_source[i];
		if (p.calls == 0)
			continue;
		double whole = r.sources[i].overview.elapsed_ms;
		out << std::to_string(s.rank) << "," << s.key << "," << csv_field(joined(s.databases)) << ",,,"
		    << std::to_string(p.calls) << "," << ms(p.elapsed_ms) << "," << ms(p.execution_ms) << ","
		    << ms(p.mean_ms) << "," << ms(p.p95_ms) << ",," << ms(p.max_ms) << ","
		    << ms(p.calls > 0 ? p.execution_ms / static_cast<double>(p.calls) : 0) << ",,,"
		    << fixed(whole > 0 ? 100.0 * p.elapsed_ms / whole : 0, 3) << "," << std::to_string(p.rows)
		    << "," << std::to_string(p.hits) << "," << std::to_string(p.reads) << ","
		    << std::to_string(p.temp_read) << "," << std::to_string(p.temp_written) << ",,,,,,,"
		    << (s.parsed ? "true" : "false") << "," << csv_field(s.text) << ","
		    << std::to_string(p.failed) << ",," << csv_field(r.sources[i].label) << "\r\n";
	}
}

} // namespace

void write_csv_statements(const Report &r, OutputFile &out)
{
	bool several = r.sources.size() > 1;
	out << "rank,statement,database,users,applications,calls,elapsed_ms,execution_ms,"
	       "mean_elapsed_ms,p95_elapsed_ms,min_elapsed_ms,max_elapsed_ms,mean_execution_ms,"
	       "p95_execution_ms,max_execution_ms,share,rows,shared_hit,shared_read,temp_read,"
	       "temp_written,csw_voluntary,csw_involuntary,faults_major,faults_minor,sessions,"
	       "distinct_texts,parsed,query,failed_calls,failed_sqlstates"
	    << (several ? ",source" : "") << "\r\n";
	for (const Statement &s : r.top)
	{
		if (several)
		{
			write_csv_parts(r, s, out);
			continue;
		}
		out << std::to_string(s.rank) << "," << s.key << "," << csv_field(joined(s.databases)) << ","
		    << csv_field(joined(s.users)) << "," << csv_field(joined(s.applications)) << ","
		    << std::to_string(s.calls) << "," << ms(s.elapsed_ms) << "," << ms(s.execution_ms) << ","
		    << ms(s.mean_ms) << "," << ms(s.p95_ms) << "," << ms(s.min_ms) << "," << ms(s.max_ms)
		    << "," << ms(s.execution_mean_ms) << "," << ms(s.execution_p95_ms) << ","
		    << ms(s.execution_max_ms) << "," << fixed(share(s, r), 3) << ","
		    << std::to_string(s.rows) << "," << std::to_string(s.hits) << ","
		    << std::to_string(s.reads) << "," << std::to_string(s.temp_read) << ","
		    << std::to_string(s.temp_written) << "," << std::to_string(s.csw_voluntary) << ","
		    << std::to_string(s.csw_involuntary) << "," << std::to_string(s.faults_major) << ","
		    << std::to_string(s.faults_minor) << "," << std::to_string(s.sessions) << ","
		    << std::to_string(s.distinct_texts) << "," << (s.parsed ? "true" : "false") << ","
		    << csv_field(s.text) << "," << std::to_string(s.failed) << ","
		    << sqlstate_list(s.sqlstates) << "\r\n";
	}
}

void write_json_report(const Report &r, OutputFile &out, bool after_calls)
{
	if (after_calls)
		out << "\n],\n";
	else
	{
		out << "{";
		json_trace(r.trace, out);
		out << ",\n";
	}
	out << "\"overview\": " << json_overview(r.overview) << ", \"sort\": " << json_quote(r.sort)
	    << ", \"focus\": " << json_quote(r.focus) << ", \"notes\": " << json_list(r.notes) << "},\n";
	if (!r.sources.empty())
	{
		out << "\"servers\": [";
		for (size_t i = 0; i < r.sources.size(); i++)
		{
			const SourcePart &p = r.sources[i];
			out << (i > 0 ? ",\n" : "\n") << "{\"server\": " << json_quote(p.label) << ", ";
			json_trace(p.trace, out);
			if (!p.unreachable.empty())
				out << ", \"unreachable\": " << json_quote(p.unreachable) << "}";
			else
				out << ", \"overview\": " << json_overview(p.overview)
				    << ", \"notes\": " << json_list(p.notes) << "}}";
		}
		out << "\n],\n";
	}
	out << "\"failures\": {\"by_sqlstate\": [";
	for (size_t i = 0; i < r.failures.size(); i++)
	{
		const FailureRow &f = r.failures[i];
		out << (i > 0 ? ", " : "") << "{\"sqlstate\": " << json_quote(f.sqlstate)
		    << ", \"calls\": " << std::to_string(f.calls) << ", \"elapsed_ms\": " << ms(f.elapsed_ms)
		    << ", \"statements\": " << std::to_string(f.statements)
		    << ", \"message\": " << json_quote(f.message) << "}";
	}
	out << "], \"slowest\": [";
	for (size_t i = 0; i < r.failed_calls.size(); i++)
	{
		const FailedCallRow &c = r.failed_calls[i];
		out << (i > 0 ? ",\n" : "\n") << "{\"elapsed_ms\": " << ms(c.elapsed_ms)
		    << ", \"ended\": " << json_quote(c.ended) << ", \"pid\": " << std::to_string(c.pid)
		    << (c.server.empty() ? "" : ", \"server\": " + json_quote(c.server))
		    << ", \"sqlstate\": " << json_quote(c.sqlstate) << ", \"message\": " << json_quote(c.message)
		    << ", \"statement\": \"" << c.key << "\"}";
	}
	out << "]},\n\"statements\": [";
	for (size_t i = 0; i < r.top.size(); i++)
	{
		const Statement &s = r.top[i];
		std::string histogram;
		for (long long n : s.histogram)
			histogram += (histogram.empty() ? "" : ", ") + std::to_string(n);
		out << (i > 0 ? ",\n" : "\n") << "{\"rank\": " << std::to_string(s.rank)
		    << ", \"statement\": \"" << s.key << "\", \"databases\": " << json_list(s.databases)
		    << ", \"users\": " << json_list(s.users) << ", \"applications\": " << json_list(s.applications)
		    << ", \"calls\": " << std::to_string(s.calls) << ", \"elapsed_ms\": " << ms(s.elapsed_ms)
		    << ", \"execution_ms\": " << ms(s.execution_ms) << ", \"mean_elapsed_ms\": " << ms(s.mean_ms)
		    << ", \"p95_elapsed_ms\": " << ms(s.p95_ms) << ", \"p95_exact\": " << (s.p95_exact ? "true" : "false")
		    << ", \"min_elapsed_ms\": " << ms(s.min_ms) << ", \"max_elapsed_ms\": " << ms(s.max_ms)
		    << ", \"mean_execution_ms\": " << ms(s.execution_mean_ms)
		    << ", \"p95_execution_ms\": " << ms(s.execution_p95_ms)
		    << ", \"max_execution_ms\": " << ms(s.execution_max_ms) << ", \"share\": " << fixed(share(s, r), 3)
		    << ", \"rows\": " << std::to_string(s.rows) << ", \"shared_hit\": " << std::to_string(s.hits)
		    << ", \"shared_read\": " << std::to_string(s.reads) << ", \"temp_read\": "
		    << std::to_string(s.temp_read) << ", \"temp_written\": " << std::to_string(s.temp_written)
		    << ", \"csw_voluntary\": " << std::to_string(s.csw_voluntary)
		    << ", \"csw_involuntary\": " << std::to_string(s.csw_involuntary)
		    << ", \"faults_major\": " << std::to_string(s.faults_major)
		    << ", \"faults_minor\": " << std::to_string(s.faults_minor)
		    << ", \"unknown_buffers\": " << std::to_string(s.unknown_buffers)
		    << ", \"sessions\": " << std::to_string(s.sessions)
		    << ", \"distinct_texts\": " << std::to_string(s.distinct_texts)
		    << ", \"distinct_exact\": " << (s.distinct_exact ? "true" : "false")
		    << ", \"parsed\": " << (s.parsed ? "true" : "false") << ", \"histogram\": [" << histogram
		    << "], \"query\": " << json_quote(s.text) << ", \"params\": " << json_quote(s.params)
		    << ", \"slowest\": {\"elapsed_ms\": " << ms(s.slowest.elapsed_ms)
		    << ", \"execution_ms\": " << ms(s.slowest.execution_ms) << ", \"start\": \""
		    << iso_time(s.slowest.start_us) << "\", \"pid\": " << std::to_string(s.slowest.pid)
		    << ", \"query\": " << json_quote(s.slowest.text) << "}"
		    << ", \"failed_calls\": " << std::to_string(s.failed)
		    << ", \"sqlstates\": " << json_sqlstates(s.sqlstates);
		if (!s.by_source.empty())
		{
			out << ", \"servers\": [";
			bool first = true;
			for (size_t k = 0; k < s.by_source.size(); k++)
			{
				const StatementPart &p = s.by_source[k];
				if (p.calls == 0)
					continue;
				out << (first ? "" : ", ") << "{\"server\": " << json_quote(r.sources[k].label)
				    << ", \"calls\": " << std::to_string(p.calls) << ", \"elapsed_ms\": " << ms(p.elapsed_ms)
				    << ", \"execution_ms\": " << ms(p.execution_ms)
				    << ", \"mean_elapsed_ms\": " << ms(p.mean_ms) << ", \"p95_elapsed_ms\": " << ms(p.p95_ms)
				    << ", \"max_elapsed_ms\": " << ms(p.max_ms) << ", \"rows\": " << std::to_string(p.rows)
				    << ", \"shared_hit\": " << std::to_string(p.hits)
				    << ", \"shared_read\": " << std::to_string(p.reads)
				    << ", \"failed_calls\": " << std::to_string(p.failed) << "}";
				first = false;
			}
			out << "]";
		}
		out << "}";
	}
	out << "\n]}\n";
}
