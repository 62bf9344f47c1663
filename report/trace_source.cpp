// Finding, checking and reading the trace.
#include "trace_source.hpp"

#include "errors.hpp"
#include "format.hpp"
#include "json.hpp"

#include <cmath>
#include <cstdlib>
#include <ctime>

namespace {

const char *const status_words[] = {
    "was running when the server stopped",
    "running",
    "deactivated",
    "ended at its size limit",
    "ended at its time limit",
};

// The server's display form of the times in vr_traces_list.
const char *const server_time_format = "YYYY-MM-DD HH24:MI:SS.MS TZ";

// The session must not add its own statements to a trace that covers its
// user, and must not depend on the caller's search_path.  Loading a million
// records and sorting them goes faster with more memory: the analysis
// tables are temporary tables, kept in the session's own buffers
// (temp_buffers, which can change only before the session's first use of
// a temporary table, and is taken only as needed).  Times are formatted in
// the client, in the session's time zone.
void prepare_session(Connection &db)
{
	db.run("SET vireo.enabled = off");
	db.run("SET search_path = pg_catalog, pg_temp");
	db.run("SET work_mem = '128MB'");
	db.run("SET temp_buffers = '256MB'");
	std::string zone = db.query("SHOW TimeZone").text(0, 0);
	setenv("TZ", zone.c_str(), 1);
	tzset();
}

std::string extension_schema(Connection &db)
{
	Result r = db.query("SELECT n.nspname FROM pg_catalog.pg_extension e"
	                    " JOIN pg_catalog.pg_namespace n ON n.oid = e.extnamespace"
	                    " WHERE e.extname = 'vireo'");
	if (r.rows() == 0)
		throw Failure("the vireo extension is not installed in database \"" + db.database() +
		              "\" (a superuser runs CREATE EXTENSION vireo)");
	return db.quote_identifier(r.text(0, 0));
}

const char *const may_read_sql =
    "owner = (SELECT oid FROM pg_catalog.pg_roles WHERE rolname = current_user)"
    " OR (SELECT rolsuper FROM pg_catalog.pg_roles WHERE rolname = current_user)";

// Looks the trace up under one plan format; true when listed.
bool find_in_list(Connection &db, TraceSource &trace, const std::string &format)
{
	db.run("SELECT pg_catalog.set_config('vireo.explain_format', $1, false)", {format});
	Result r = db.query(
	    "SELECT comments, to_char(start_time, $2), coalesce(owner::regrole::text, owner::text),"
	    "       to_char(end_time, $2), to_char(finish_time, $2), status, version, max_size, " +
	        std::string(may_read_sql) + ", users_list::oid[]::text, database_list::oid[]::text"
	                                    "  FROM " +
	        trace.schema + ".vr_traces_list() WHERE trace_id = $1",
	    {trace.info.id, std::string(server_time_format)});
	if (r.rows() == 0)
		return false;
	TraceInfo &info = trace.info;
	info.comment = r.text(0, 0);
	info.start = r.text(0, 1);
	info.owner = r.text(0, 2);
	info.end = r.text(0, 3);
	info.finish = r.text(0, 4);
	info.status = static_cast<int>(r.integer(0, 5));
	info.version = r.number(0, 6);
	info.json = format == "json";
	trace.max_size_mb = static_cast<int>(r.integer(0, 7));
	if (!r.null(0, 9))
		trace.users = r.text(0, 9);
	if (!r.null(0, 10))
		trace.databases = r.text(0, 10);
	if (!r.flag(0, 8))
		throw Failure("trace " + info.id + " belongs to role " + info.owner +
		              ": only a superuser or " + info.owner + " may read it");
	return true;
}

std::string read_failure(const TraceInfo &info, const SqlError &e, const char *verb)
{
	std::string message = e.what();
	if (message.find("shared_preload_libraries") != std::string::npos)
		return "the server does not preload vireo: add it to shared_preload_libraries and "
		       "restart the server";
	if (message.find("Could not load the trace") != std::string::npos)
		return "trace " + info.id + " could not be read: its trace.ini is missing or unreadable";
	return std::string(verb) + " trace " + info.id + " failed: " + message;
}

std::string now_text(Connection &db)
{
	Result r = db.query("SELECT (extract(epoch FROM statement_timestamp()) * 1000000)::int8");
	return timestamp_text(r.integer(0, 0));
}

void run_load(Connection &db, TraceSource &trace, bool reload)
{
	TraceInfo &info = trace.info;
	try
	{
		info.read_at = now_text(db);
		db.run("SELECT " + trace.schema + ".vr_load_trace($1, $2)",
		       {info.id, std::string(reload ? "true" : "false")});
	}
	catch (const SqlError &e)
	{
		// A hot standby, or a session that may not write: loading creates
		// tables, streaming does not.
		if (e.sqlstate() == "25006")
			throw Failure(
			    "trace " + info.id + " cannot be loaded on " + info.label + ": " + e.what() + "; " +
			    (trace.can_stream ? "without --load vireo-report streams its records and writes nothing"
			                      : "the vireo extension there has no vr_trace_records to stream them "
			                        "(ALTER EXTENSION vireo UPDATE, on the primary of a standby)"));
		throw Failure(read_failure(info, e, "loading"));
	}
	Result number =
	    db.query("SELECT id FROM pg_temp._vr_tmp_tbl_traces WHERE trace = $1", {info.id});
	if (number.rows() == 0)
		throw Failure("trace " + info.id +
		              " was loaded, but its number is not in _vr_tmp_tbl_traces");
	info.number = number.integer(0, 0);
	info.loaded = true;
}

// What the trace was activated with beyond its plan format (the sample
// rate, the threshold for plans), where vr_traces_list lists it: a column
// of the setting's name.
void read_settings(Connection &db, TraceSource &trace)
{
	const char *settings[] = {"sample_rate", "plan_min_duration"};
	std::optional<double> *values[] = {&trace.info.sample_rate, &trace.info.plan_min_duration_ms};
	Result listed = db.query("SELECT $1 = ANY (proargnames), $2 = ANY (proargnames)"
	                         "  FROM pg_catalog.pg_proc WHERE oid = pg_catalog.to_regprocedure($3)",
	                         {std::string(settings[0]), std::string(settings[1]),
	                          trace.schema + ".vr_traces_list()"});
	for (int i = 0; i < 2; i++)
	{
		if (listed.rows() == 0 || !listed.flag(0, i))
			continue;
		Result r = db.query("SELECT " + std::string(settings[i]) + "::float8 FROM " + trace.schema +
		                        ".vr_traces_list() WHERE trace_id = $1",
		                    {trace.info.id});
		if (r.rows() > 0 && !r.null(0, 0))
			*values[i] = r.number(0, 0);
	}
}

} // namespace

TraceSource find_trace(Connection &db, const std::string &trace_id, bool load, Progress &progress)
{
	TraceSource trace;
	trace.info.id = trace_id;
	trace.info.database = db.database();
	trace.info.server = db.server();

	progress.step("looking for trace " + trace_id);
	prepare_session(db);
	trace.schema = extension_schema(db);
	trace.info.report_user = db.query("SELECT current_user").text(0, 0);

	// vr_traces_list sees only the traces of the session's plan format:
	// look under both, and read under the one that lists it.
	if (!find_in_list(db, trace, "text") && !find_in_list(db, trace, "json"))
		throw Failure("trace " + trace_id + " does not exist in the data directory of " +
		              db.short_server());

	read_settings(db, trace);
	trace.can_stream = db.query("SELECT pg_catalog.to_regprocedure($1) IS NOT NULL",
	                            {trace.schema + ".vr_trace_records(text)"})
	                       .flag(0, 0);
	trace.stream = !load && trace.can_stream;
	return trace;
}

void read_trace(Connection &db, TraceSource &trace, const Options &options, Progress &progress,
                const RecordSink &sink)
{
	// Statements of a running trace that are still running when it is read
	// end after that, and are left out.
	if (trace.info.status == 1)
		trace.info.running = db.query("SELECT count(*) FROM pg_catalog.pg_stat_activity"
		                              " WHERE backend_type = 'client backend' AND state = 'active'"
		                              "   AND pid <> pg_catalog.pg_backend_pid()"
		                              "   AND ($1::oid[] IS NULL OR usesysid = ANY ($1::oid[]))"
		                              "   AND ($2::oid[] IS NULL OR datid = ANY ($2::oid[]))",
		                              {trace.users, trace.databases})
		                         .integer(0, 0);
	long long count = 0;
	auto counting = [&](TraceRecord &r) {
		if ((++count & 0xFFFF) == 0)
			progress.relabel((trace.stream ? "streaming trace " : "reading trace ") +
			                 trace.info.id + ": " + with_separators(count) + " records");
		sink(r);
	};
	if (trace.stream)
	{
		progress.step("streaming trace " + trace.info.id);
		trace.info.read_at = now_text(db);
		try
		{
			read_streamed_records(db, trace.schema, trace.info.id, counting);
		}
		catch (const SqlError &e)
		{
			throw Failure(read_failure(trace.info, e, "reading"));
		}
		return;
	}
	progress.step("loading trace " + trace.info.id);
	run_load(db, trace, options.reload);
	progress.step("reading trace " + trace.info.id);
	read_loaded_records(db, trace.info.number, counting);
}

std::string status_text(int status)
{
	if (status >= 0 && status <= 4)
		return status_words[status];
	return "status " + std::to_string(status);
}

std::string sampling_words(const TraceInfo &trace)
{
	std::string words;
	if (trace.sample_rate && *trace.sample_rate < 1)
	{
		double pct = *trace.sample_rate * 100;
		words = (pct >= 1 || pct == 0 ? fixed(pct, pct == std::floor(pct) ? 0 : 1) : fixed(pct, 3)) +
		        "% of the statements (sampled): calls are recorded calls";
	}
	if (trace.plan_min_duration_ms && *trace.plan_min_duration_ms >= 0)
		words += (words.empty() ? "" : "; ") + std::string("plans of the statements of ") +
		         human_ms(*trace.plan_min_duration_ms) + " and more only";
	return words;
}

void list_traces(Connection &db, const Options &options, OutputFile &out)
{
	prepare_session(db);
	std::string schema = extension_schema(db);
	bool files = db.query("SELECT has_function_privilege('pg_catalog.pg_ls_dir(text, boolean, "
	                      "boolean)', 'EXECUTE') AND has_function_privilege("
	                      "'pg_catalog.pg_stat_file(text, boolean)', 'EXECUTE')")
	                 .flag(0, 0);
	struct Row
	{
		std::string id, comment, owner, status, format, start;
		long long bytes;
	};
	std::vector<Row> rows;
	for (const char *format : {"text", "json"})
	{
		db.run("SELECT pg_catalog.set_config('vireo.explain_format', $1, false)",
		       {std::string(format)});
		std::string size =
		    files ? "(SELECT coalesce(sum((pg_catalog.pg_stat_file('traces/' || t.trace_id || '/' "
		            "|| f, true)).size), 0) FROM pg_catalog.pg_ls_dir('traces/' || t.trace_id, "
		            "true, false) f WHERE f ~ '^trace-[0-9]+\\.csv$')"
		          : "-1";
		Result r = db.query("SELECT trace_id, comments, coalesce(owner::regrole::text, "
		                    "owner::text), status, to_char(start_time, $1), " +
		                        size + " FROM " + schema + ".vr_traces_list() t WHERE " +
		                        may_read_sql + " ORDER BY trace_id",
		                    {std::string(server_time_format)});
		for (int i = 0; i < r.rows(); i++)
			rows.push_back({r.text(i, 0), r.text(i, 1), r.text(i, 2),
			                status_text(static_cast<int>(r.integer(i, 3))), format, r.text(i, 4),
			                r.integer(i, 5)});
	}
	std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.id < b.id; });
	if (options.format == OutputFormat::json)
	{
		out << "[";
		for (size_t i = 0; i < rows.size(); i++)
		{
			const Row &t = rows[i];
			out << (i > 0 ? ",\n " : "\n ") << "{\"trace_id\": " << json_quote(t.id)
			    << ", \"comment\": " << json_quote(t.comment) << ", \"owner\": " << json_quote(t.owner)
			    << ", \"status\": " << json_quote(t.status) << ", \"plans\": " << json_quote(t.format)
			    << ", \"started\": " << json_quote(t.start) << ", \"bytes\": "
			    << (t.bytes < 0 ? std::string("null") : std::to_string(t.bytes)) << "}";
		}
		out << "\n]\n";
		return;
	}
	if (options.format == OutputFormat::csv)
	{
		out << "trace_id,comment,owner,status,plans,started,bytes\r\n";
		for (const Row &t : rows)
			out << csv_field(t.id) << "," << csv_field(t.comment) << "," << csv_field(t.owner) << ","
			    << csv_field(t.status) << "," << t.format << "," << csv_field(t.start) << ","
			    << (t.bytes < 0 ? std::string() : std::to_string(t.bytes)) << "\r\n";
		return;
	}
	out << "trace id              plans  status                               size  started"
	       "                         comment\n";
	for (const Row &t : rows)
	{
		std::string size = t.bytes < 0 ? "-" : human_bytes(t.bytes);
		out << t.id << "  " << (t.format == "json" ? "JSON " : "text ") << "  "
		    << t.status + std::string(t.status.size() < 35 ? 35 - t.status.size() : 0, ' ') << "  "
		    << std::string(size.size() < 8 ? 8 - size.size() : 0, ' ') + size << "  " << t.start
		    << "  " << printable(one_line_text(t.comment, 60)) << "\n";
	}
	if (!files)
		out << "(sizes need a superuser or EXECUTE on pg_ls_dir and pg_stat_file)\n";
}

int data_file_count(Connection &db, const TraceSource &trace)
{
	Result allowed = db.query(
	    "SELECT has_function_privilege('pg_catalog.pg_ls_dir(text, boolean, boolean)', 'EXECUTE')");
	if (!allowed.flag(0, 0))
		return -1;
	return static_cast<int>(db.query("SELECT count(*) FROM pg_catalog.pg_ls_dir('traces/' || $1, "
	                                 "true, false) AS name WHERE name ~ '^trace-[0-9]{1,9}\\.csv$'",
	                                 {trace.info.id})
	                            .integer(0, 0));
}
