// vr_load_trace: reads a trace's data files into the session's analysis
// tables, continuing each file where the previous load of the session
// stopped, with rows of identical query text sharing one query row and id.
#include <sys/stat.h>

#include "capture/state.hpp"
#include "frame/registry.hpp"
#include "load/analysis_schema.hpp"
#include "load/csv_reader.hpp"
#include "load/profile_record.hpp"
#include "load/query_ids.hpp"
#include "load/row_sink.hpp"
#include "store/descriptor.hpp"
#include "store/paths.hpp"

extern "C" {
#include "utils/memutils.h"
PG_FUNCTION_INFO_V1(vr_load_trace);
}

// Source of trace numbers; it keeps growing for the whole session, also when
// the analysis tables are dropped.
static int64 trace_counter = 0;

// The texts of buffered profile rows are written out beyond this size.
static constexpr Size BATCH_MEMORY = 8 * 1024 * 1024;

// A data file of the trace directory, with where its reading starts.
struct data_file
{
	int32 pid;
	int64 start;
	bool known; // it has a position row
};

// The position statements of one call.
struct position_plans
{
	SPIPlanPtr insert;
	SPIPlanPtr select; // null when reloading
	SPIPlanPtr update; // null when reloading
};

// What one call writes to.
struct load_state
{
	int64 trace_no;
	double version;
	vrx_row_sink *profiles;
	vrx_query_ids *ids;
	MemoryContext load_cxt;   // the call's
	MemoryContext record_cxt; // one record, reset after it
	MemoryContext batch_cxt;  // texts of the buffered profile rows
};

static void position_error(void)
{
	ereport(ERROR, (errcode(ERRCODE_EXTERNAL_ROUTINE_EXCEPTION),
	                errmsg("vireo: error saving the preivous successful profile read position.")));
}

// The trace number of trace_id in this session, made when the trace is new.
static int64 trace_number(const char *trace_id)
{
	Oid type = TEXTOID;
	Datum id_text = CStringGetTextDatum(trace_id);
	const char nulls[1] = {' '};
	SPIPlanPtr select =
	    vrx_spi_prepare("SELECT id FROM pg_temp._vr_tmp_tbl_traces WHERE trace = $1", 1, &type);
	int rc = vrx_spi_execute_plan(select, &id_text, nulls);
	SPI_freeplan(select);
	if (rc == SPI_OK_SELECT && SPI_processed > 0)
	{
		int64 id = 0;
		str_to_long(SPI_getvalue(SPI_tuptable->vals[0], SPI_tuptable->tupdesc, 1), &id);
		SPI_freetuptable(SPI_tuptable);
		return id;
	}
	SPI_freetuptable(SPI_tuptable);

	int64 id = ++trace_counter;
	Oid types[2] = {INT8OID, TEXTOID};
	Datum values[2] = {Int64GetDatum(id), id_text};
	const char insert_nulls[2] = {' ', ' '};
	SPIPlanPtr insert = vrx_spi_prepare(
	    "INSERT INTO pg_temp._vr_tmp_tbl_traces (id, trace) VALUES ($1, $2)", 2, types);
	vrx_spi_execute_plan(insert, values, insert_nulls);
	SPI_freeplan(insert);
	return id;
}

// Whether name is the data file name of a pid, as the capture writes it:
// "trace-<pid>.csv" with the pid in decimal without leading zeros.  Other
// names that read as a number ("trace-012.csv") would share the position
// row of that pid.
static bool data_file_name(const char *name, int32 *pid)
{
	if (!vrx_data_file_name(name, pid) || *pid < 0)
		return false;
	char canonical[32];
	snprintf(canonical, sizeof(canonical), "trace-%d.csv", *pid);
	return strcmp(name, canonical) == 0;
}

static int by_pid(const ListCell *a, const ListCell *b)
{
	const int32 x = static_cast<data_file *>(lfirst(a))->pid;
	const int32 y = static_cast<data_file *>(lfirst(b))->pid;
	return x < y ? -1 : x > y ? 1 : 0;
}

// The data files of the trace directory, by pid, so that loading the same
// files always gives the same query ids: regular files under a data file
// name.  A FIFO or device planted under such a name would block the load or
// read something that is not a trace.
static List *list_data_files(DIR *dir, const char *dir_path)
{
	List *files = NIL;
	struct dirent *de;
	while ((de = ReadDir(dir, dir_path)) != nullptr)
	{
		int32 pid;
		char path[VRX_PATH_MAX];
		struct stat st;
		if (!data_file_name(de->d_name, &pid))
			continue;
		snprintf(path, sizeof(path), "%s/%s", dir_path, de->d_name);
		if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
			continue;
		auto *file = static_cast<data_file *>(palloc0(sizeof(data_file)));
		file->pid = pid;
		files = lappend(files, file);
	}
	list_sort(files, by_pid);
	return files;
}

// Where reading of the file starts: its saved position, or the beginning.
static void find_start(data_file *file, int64 trace_no, const position_plans &plans)
{
	if (plans.select == nullptr)
		return;
	Datum args[2] = {Int32GetDatum(file->pid), Int64GetDatum(trace_no)};
	if (vrx_spi_execute_plan(plans.select, args, nullptr) == SPI_OK_SELECT && SPI_processed > 0)
	{
		str_to_long(SPI_getvalue(SPI_tuptable->vals[0], SPI_tuptable->tupdesc, 1), &file->start);
		file->known = true;
	}
	SPI_freetuptable(SPI_tuptable);
}

static void save_position(const data_file &file, int64 position, int64 trace_no,
                          const position_plans &plans)
{
	// A rule of the user's may do something else instead.
	if (plans.update != nullptr && file.known)
	{
		Datum args[3] = {Int64GetDatum(position), Int64GetDatum(trace_no), Int32GetDatum(file.pid)};
		const int rc = vrx_spi_execute_plan(plans.update, args, nullptr);
		if (rc != SPI_OK_UPDATE && rc != SPI_OK_REWRITTEN)
			position_error();
	}
	else
	{
		Datum args[3] = {Int64GetDatum(trace_no), Int32GetDatum(file.pid), Int64GetDatum(position)};
		const int rc = vrx_spi_execute_plan(plans.insert, args, nullptr);
		if (rc != SPI_OK_INSERT && rc != SPI_OK_REWRITTEN)
			position_error();
	}
}

// Loads one data file from its start.  Returns the position after the last
// record loaded.
static int64 load_data_file(FILE *stream, const data_file &file, load_state &load)
{
	int64 position = file.start;
	int64 committed = file.start;
	MemoryContextSwitchTo(load.load_cxt);
	vrx_record_reader *reader = vrx_record_reader_open(stream, file.start);
	vrx_record record;
	vrx_profile_row row;
	for (;;)
	{
		// SPI calls leave their own context current: switch at each record.
		MemoryContextSwitchTo(load.record_cxt);
		if (!vrx_read_record(reader, &record, &position))
			break;
		vrx_record_outcome outcome =
		    vrx_convert_record(record, load.trace_no, file.pid, load.version, load.batch_cxt, &row);
		if (outcome == vrx_record_outcome::stop)
			break;
		if (outcome == vrx_record_outcome::insert)
		{
			row.values[VRX_PROFILE_QUERY_ID] =
			    Int64GetDatum(vrx_query_id(load.ids, load.profiles, row.query, row.params,
			                               row.no_params, row.has_query_id, row.query_id));
			bool flushed = vrx_sink_add(load.profiles, row.values, row.nulls);
			if (!flushed && MemoryContextMemAllocated(load.batch_cxt, false) > BATCH_MEMORY)
			{
				vrx_sink_flush(load.profiles);
				flushed = true;
			}
			if (flushed)
				MemoryContextReset(load.batch_cxt);
			committed = position;
		}
		MemoryContextReset(load.record_cxt);
		CHECK_FOR_INTERRUPTS();
	}
	MemoryContextReset(load.record_cxt);
	vrx_record_reader_close(reader);
	return committed;
}

// Loads every data file of the trace directory.  True when some file
// yielded rows.
static bool load_files(DIR *dir, const char *dir_path, bool reload, load_state &load)
{
	position_plans plans = {};
	Oid insert_types[3] = {INT8OID, INT4OID, INT8OID};
	plans.insert = vrx_spi_prepare("INSERT INTO pg_temp._vr_tmp_tbl_prev_succ_load( trace_id, "
	                               "pid, pos) VALUES ($1, $2, $3);",
	                               3, insert_types);
	if (!reload)
	{
		Oid select_types[2] = {INT4OID, INT8OID};
		plans.select = vrx_spi_prepare("SELECT pos FROM pg_temp._vr_tmp_tbl_prev_succ_load  "
		                               "WHERE pid = $1 AND trace_id = $2",
		                               2, select_types);
		Oid update_types[3] = {INT8OID, INT8OID, INT4OID};
		plans.update = vrx_spi_prepare("UPDATE pg_temp._vr_tmp_tbl_prev_succ_load SET pos = $1  "
		                               " WHERE trace_id = $2 AND pid = $3",
		                               3, update_types);
	}

	List *files = list_data_files(dir, dir_path);
	load.profiles = vrx_sink_open("_vr_tmp_tbl_vireo", vrx_profile_columns, VRX_PROFILE_COLUMNS);
	vrx_row_sink *queries = vrx_sink_open("_vr_tmp_tbl_query", vrx_query_columns, 4);
	load.ids = vrx_query_ids_begin(queries);

	bool loaded = false;
	ListCell *lc;
	foreach (lc, files)
	{
		auto *file = static_cast<data_file *>(lfirst(lc));
		find_start(file, load.trace_no, plans);
		char path[VRX_PATH_MAX];
		snprintf(path, sizeof(path), "%s/trace-%d.csv", dir_path, file->pid);
		FILE *stream = AllocateFile(path, "r");
		if (stream == nullptr)
			continue;
		int64 position = load_data_file(stream, *file, load);
		FreeFile(stream);
		if (position == file->start)
			continue;
		save_position(*file, position, load.trace_no, plans);
		loaded = true;
	}

	vrx_query_ids_end(load.ids);
	vrx_sink_close(queries);
	vrx_sink_close(load.profiles);
	return loaded;
}

Datum vr_load_trace(PG_FUNCTION_ARGS)
{
	char *trace_id = PG_ARGISNULL(0) ? nullptr : text_to_cstring(PG_GETARG_TEXT_PP(0));
	const bool reload = !PG_ARGISNULL(1) && PG_GETARG_BOOL(1);

	vrx_require_registry();
	vrx_check_trace_id(trace_id != nullptr ? trace_id : "");
	vrx_check_traces_root();

	vrx_trace_descriptor d;
	if (!load_trace_ini(trace_id, &d))
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		                errmsg("Could not load the trace '%s'.", trace_id)));
	const Oid owner = static_cast<Oid>(d.owner);
	load_state load = {};
	load.version = d.version;
	vrx_free_descriptor(&d);

	if (!superuser() && owner != GetUserId())
		ereport(ERROR, (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
		                errmsg("Trace (%s) is not intiated by this user. Only the super-user or "
		                       "the user who intiated the trace can load it.",
		                       trace_id)));

	int rc = SPI_connect();
	if (rc < 0)
		elog(ERROR, "vr_load_trace: SPI_connect returned %d", rc);
	const int search_path_level = vrx_fix_search_path();

	vrx_initialize();

	char dir_path[VRX_PATH_MAX];
	vrx_trace_dir_path(dir_path, trace_id);
	DIR *dir = AllocateDir(dir_path);
	bool loaded = false;
	if (dir != nullptr)
	{
		load.trace_no = trace_number(trace_id);
		if (reload)
		{
			char sql[VRX_PATH_MAX];
			snprintf(sql, sizeof(sql),
			         "DELETE FROM pg_temp._vr_tmp_tbl_vireo WHERE trace_id = " INT64_FORMAT,
			         load.trace_no);
			vrx_spi_execute(sql);
			snprintf(
			    sql, sizeof(sql),
			    "DELETE FROM pg_temp._vr_tmp_tbl_prev_succ_load WHERE trace_id = " INT64_FORMAT,
			    load.trace_no);
			vrx_spi_execute(sql);
		}

		MemoryContext caller = CurrentMemoryContext;
		load.load_cxt =
		    AllocSetContextCreate(CurrentMemoryContext, "vireo load", ALLOCSET_DEFAULT_SIZES);
		load.record_cxt =
		    AllocSetContextCreate(load.load_cxt, "vireo record", ALLOCSET_DEFAULT_SIZES);
		load.batch_cxt = AllocSetContextCreate(load.load_cxt, "vireo rows", ALLOCSET_DEFAULT_SIZES);
		MemoryContextSwitchTo(load.load_cxt);
		loaded = load_files(dir, dir_path, reload, load);
		MemoryContextSwitchTo(caller);
		FreeDir(dir);
		MemoryContextDelete(load.load_cxt);
	}

	vrx_restore_search_path(search_path_level);
	SPI_finish();
	PG_RETURN_BOOL(loaded);
}
