// Where the report's data is partial: the trace was still running, was cut
// short by a limit or a server stop, parts of its data files were not
// loaded, or some statements' buffers are not known.
#include "trace_source.hpp"

#include "format.hpp"

namespace {

// Compares the size of every data file with how far vr_load_trace read it
// (its saved read position).  Bytes past the position are records that
// were not loaded: still being written, of statements that ended after the
// load began, or not readable.  Records skipped in the middle of a file
// leave no trace here: the position moves past them.  Listing the files
// needs pg_ls_dir and pg_stat_file.
void data_file_note(Connection &db, const TraceSource &trace, std::vector<std::string> &notes)
{
	Result allowed = db.query(
	    "SELECT has_function_privilege('pg_catalog.pg_ls_dir(text, boolean, boolean)', 'EXECUTE')"
	    "   AND has_function_privilege('pg_catalog.pg_stat_file(text, boolean)', 'EXECUTE')");
	if (!allowed.flag(0, 0))
	{
		notes.push_back("Whether every record of the data files was loaded could not be checked: "
		                "listing them needs a superuser or EXECUTE on pg_ls_dir and pg_stat_file.");
		return;
	}
	Result r = db.query(
	    "SELECT count(*), coalesce(sum(f.size), 0),"
	    "       count(*) FILTER (WHERE f.size > coalesce(p.pos, 0)),"
	    "       coalesce(sum(f.size - coalesce(p.pos, 0)) FILTER (WHERE f.size > coalesce(p.pos, "
	    "0)), 0)"
	    "  FROM (SELECT substring(name FROM '^trace-([0-9]+)\\.csv$')::int4 AS pid,"
	    "               (pg_stat_file('traces/' || $1 || '/' || name, true)).size"
	    "          FROM pg_ls_dir('traces/' || $1, true, false) AS name"
	    "         WHERE name ~ '^trace-[0-9]{1,9}\\.csv$') f"
	    "  LEFT JOIN pg_temp._vr_tmp_tbl_prev_succ_load p ON p.trace_id = $2 AND p.pid = f.pid",
	    {trace.info.id, std::to_string(trace.info.number)});
	long long files = r.integer(0, 0);
	long long cut_files = r.integer(0, 2);
	long long cut_bytes = r.integer(0, 3);
	if (cut_files == 0)
		return;
	std::string what = with_separators(cut_bytes) + " bytes at the end of " +
	                   with_separators(cut_files) + " of " + with_separators(files) +
	                   " data files were not loaded: ";
	if (trace.info.status == 1)
		what += "statements that ended after the load began, or records still being written.";
	else
		what += "records that could not be read (a write cut short, or a damaged file).";
	notes.push_back(what);
}

} // namespace

std::vector<std::string> partial_data_notes(Connection &db, const TraceSource &trace,
                                            const Overview &overview)
{
	std::vector<std::string> notes;
	const TraceInfo &info = trace.info;
	switch (info.status)
	{
		case 0:
			notes.push_back("The trace was running when the server stopped (or writing it failed): "
			                "the statements of its last moments may be missing.");
			break;
		case 1:
		{
			std::string note = "The trace was still running when it was read (" + info.read_at +
			                   "): statements that ended later are not in this report.";
			if (info.running > 0)
				note += " " + std::to_string(info.running) + " traced " +
				        (info.running == 1 ? "session was" : "sessions were") +
				        " running a statement when the reading began.";
			notes.push_back(note);
			break;
		}
		case 3:
			notes.push_back("The trace ended at its size limit (" +
			                std::to_string(trace.max_size_mb) + " MB" +
			                (info.finish.empty() ? "" : ", at " + info.finish) +
			                "): statements after that were not recorded.");
			break;
		case 4:
			notes.push_back("The trace ended at its time limit" +
			                (info.finish.empty() ? std::string() : " (" + info.finish + ")") +
			                ": statements after that were not recorded.");
			break;
		default:
			break;
	}
	if (info.loaded)
		data_file_note(db, trace, notes);
	if (overview.unknown_buffers > 0)
		notes.push_back(with_separators(overview.unknown_buffers) +
		                " statements have no buffer numbers: their plans carry none, and each was "
		                "the first recorded statement of its server process, whose running totals "
		                "have no earlier record to subtract from. They count as 0.");
	return notes;
}
