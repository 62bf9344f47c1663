// Finding, checking and loading the trace.
#include "trace_source.hpp"

#include "errors.hpp"

const char *const timestamp_format = "YYYY-MM-DD HH24:MI:SS.MS TZ";

namespace {

const char *const status_words[] = {
    "was running when the server stopped",
    "running",
    "deactivated",
    "ended at its size limit",
    "ended at its time limit",
};

// The session must not add its own statements to a trace that covers its
// user, and must not depend on the caller's search_path.  A million records
// load and sort faster with more memory: the analysis tables are temporary
// tables, kept in the session's own buffers (temp_buffers, which can change
// only before the session's first use of a temporary table, and is taken
// only as needed).
void prepare_session(Connection &db)
{
	db.run("SET vireo.enabled = off");
	db.run("SET search_path = pg_catalog, pg_temp");
	db.run("SET work_mem = '128MB'");
	db.run("SET temp_buffers = '256MB'");
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

// Looks the trace up under one plan format; true when listed.
bool find_in_list(Connection &db, LoadedTrace &trace, const std::string &format)
{
	db.run("SELECT pg_catalog.set_config('vireo.explain_format', $1, false)", {format});
	Result r = db.query(
	    "SELECT comments, to_char(start_time, $2), coalesce(owner::regrole::text, owner::text),"
	    "       to_char(end_time, $2), to_char(finish_time, $2), status, version, max_size,"
	    "       owner = (SELECT oid FROM pg_catalog.pg_roles WHERE rolname = current_user)"
	    "       OR (SELECT rolsuper FROM pg_catalog.pg_roles WHERE rolname = current_user)"
	    "  FROM " +
	        trace.schema + ".vr_traces_list() WHERE trace_id = $1",
	    {trace.info.id, std::string(timestamp_format)});
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
		              ": only a superuser or " + info.owner + " may load it");
	return true;
}

void run_load(Connection &db, LoadedTrace &trace, bool reload)
{
	TraceInfo &info = trace.info;
	try
	{
		Result r = db.query(
		    "SELECT " + trace.schema + ".vr_load_trace($1, $2), to_char(statement_timestamp(), $3)",
		    {info.id, std::string(reload ? "true" : "false"), std::string(timestamp_format)});
		info.loaded_at = r.text(0, 1);
	}
	catch (const SqlError &e)
	{
		std::string message = e.what();
		if (message.find("shared_preload_libraries") != std::string::npos)
			throw Failure("the server does not preload vireo: add it to "
			              "shared_preload_libraries and restart the server");
		if (message.find("Could not load the trace") != std::string::npos)
			throw Failure("trace " + info.id +
			              " could not be loaded: its trace.ini is missing or unreadable");
		throw Failure("loading trace " + info.id + " failed: " + message);
	}
	Result number =
	    db.query("SELECT id FROM pg_temp._vr_tmp_tbl_traces WHERE trace = $1", {info.id});
	if (number.rows() == 0)
		throw Failure("trace " + info.id +
		              " was loaded, but its number is not in _vr_tmp_tbl_traces");
	info.number = number.integer(0, 0);
}

} // namespace

LoadedTrace load_trace(Connection &db, const Options &options, Progress &progress)
{
	LoadedTrace trace;
	trace.info.id = options.trace_id;
	trace.info.database = db.database();
	trace.info.server = db.server();

	progress.step("looking for trace " + options.trace_id);
	prepare_session(db);
	trace.schema = extension_schema(db);
	trace.info.report_user = db.query("SELECT current_user").text(0, 0);

	// vr_traces_list and vr_load_trace see only the traces of the session's
	// plan format: look under both, and load under the one that lists it.
	if (!find_in_list(db, trace, "text") && !find_in_list(db, trace, "json"))
		throw Failure("trace " + options.trace_id +
		              " does not exist in this server's data directory");

	// Statements of a running trace that are still running when the load
	// begins end after it, and are left for a later load.
	if (trace.info.status == 1)
		trace.info.running = db.query("SELECT count(*) FROM pg_catalog.pg_stat_activity"
		                              " WHERE backend_type = 'client backend' AND state = 'active'"
		                              "   AND pid <> pg_catalog.pg_backend_pid()"
		                              "   AND ($1::oid[] IS NULL OR usesysid = ANY ($1::oid[]))"
		                              "   AND ($2::oid[] IS NULL OR datid = ANY ($2::oid[]))",
		                              {trace.users, trace.databases})
		                         .integer(0, 0);

	progress.step("loading trace " + options.trace_id);
	run_load(db, trace, options.reload);
	return trace;
}

std::string status_text(int status)
{
	if (status >= 0 && status <= 4)
		return status_words[status];
	return "status " + std::to_string(status);
}
