// vr_load_trace: reads a trace's data files into the session's analysis
// tables, continuing each file where the previous load of the session
// stopped, with rows of identical query text sharing one query row and id.

#include "frame/settings.hpp"
#include "load/analysis_schema.hpp"
#include "load/csv_reader.hpp"
#include "load/profile_record.hpp"
#include "load/query_ids.hpp"
#include "load/row_sink.hpp"
#include "load/trace_files.hpp"
#include "store/paths.hpp"

extern "C" {
#include "access/xlog.h"
#include "utils/memutils.h"
PG_FUNCTION_INFO_V1(vr_load_trace);
}

// Source of trace numbers; it keeps growing for the whole session, also when
// the analysis tables are dropped.
static int64 trace_counter = 0;

// The texts of buffered profile rows are written out beyond this size.
static constexpr Size BATCH_MEMORY = 8 * 1024 * 1024;

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
	vrx_convert_options options;
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

// Where reading of the file starts: its saved position, or the beginning.
static void find_start(vrx_data_file *file, int64 trace_no, const position_plans &plans)
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

static void save_position(const vrx_data_file &file, int64 position, int64 trace_no,
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
static int64 load_data_file(vrx_data_file_reader *reader, const vrx_data_file &file,
                            load_state &load)
{
	int64 position = file.start;
	int64 committed = file.start;
	vrx_profile_row row;
	for (;;)
	{
		// SPI calls leave their own context current: switch at each record.
		MemoryContextSwitchTo(load.record_cxt);
		const vrx_read_result result =
		    vrx_next_record(reader, load.options, load.batch_cxt, &row, &position);
		if (result == vrx_read_result::done)
			break;
		if (result == vrx_read_result::row)
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
	return committed;
}

// Loads every data file of the trace directory.  True when some file
// yielded rows.
static bool load_files(const char *dir_path, List *files, bool reload, load_state &load)
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

	load.profiles = vrx_sink_open("_vr_tmp_tbl_vireo", vrx_profile_columns, VRX_PROFILE_COLUMNS);
	vrx_row_sink *queries = vrx_sink_open("_vr_tmp_tbl_query", vrx_query_columns, 4);
	load.ids = vrx_query_ids_begin(queries);

	bool loaded = false;
	ListCell *lc;
	foreach (lc, files)
	{
		auto *file = static_cast<vrx_data_file *>(lfirst(lc));
		find_start(file, load.options.trace_no, plans);
		MemoryContextSwitchTo(load.load_cxt);
		vrx_data_file_reader *reader = vrx_open_data_file(dir_path, file->pid, file->start);
		if (reader == nullptr)
			continue;
		int64 position = load_data_file(reader, *file, load);
		MemoryContextSwitchTo(load.load_cxt);
		vrx_close_data_file(reader);
		if (position == file->start)
			continue;
		save_position(*file, position, load.options.trace_no, plans);
		loaded = true;
	}

	vrx_query_ids_end(load.ids);
	vrx_sink_close(queries);
	vrx_sink_close(load.profiles);
	return loaded;
}

// Loading writes the session's temporary tables; a server in recovery can
// write none, so the stream of the records is the way there.
static void refuse_on_standby(const char *trace_id)
{
	if (!RecoveryInProgress())
		return;
	ereport(ERROR,
	        (errcode(ERRCODE_READ_ONLY_SQL_TRANSACTION),
	         errmsg("vireo: cannot load a trace on a hot standby"),
	         errdetail("Loading writes temporary tables, which a server in recovery cannot create."),
	         errhint("Read the trace's records with vr_trace_records('%s'), or make a report with "
	                 "vireo-report, which loads nothing.",
	                 trace_id)));
}

Datum vr_load_trace(PG_FUNCTION_ARGS)
{
	char *trace_id = PG_ARGISNULL(0) ? nullptr : text_to_cstring(PG_GETARG_TEXT_PP(0));
	const bool reload = !PG_ARGISNULL(1) && PG_GETARG_BOOL(1);

	load_state load = {};
	load.options.version = vrx_open_trace(trace_id);
	load.options.params_as_array = vireo_use_array_for_paramas;
	refuse_on_standby(trace_id);

	int rc = SPI_connect();
	if (rc < 0)
		elog(ERROR, "vr_load_trace: SPI_connect returned %d", rc);
	const int search_path_level = vrx_fix_search_path();

	vrx_initialize(trace_id);

	char dir_path[VRX_PATH_MAX];
	vrx_trace_dir_path(dir_path, trace_id);
	bool loaded = false;
	List *files;
	if (vrx_list_data_files(dir_path, &files))
	{
		load.options.trace_no = trace_number(trace_id);
		if (reload)
		{
			char sql[VRX_PATH_MAX];
			snprintf(sql, sizeof(sql),
			         "DELETE FROM pg_temp._vr_tmp_tbl_vireo WHERE trace_id = " INT64_FORMAT,
			         load.options.trace_no);
			vrx_spi_execute(sql);
			snprintf(
			    sql, sizeof(sql),
			    "DELETE FROM pg_temp._vr_tmp_tbl_prev_succ_load WHERE trace_id = " INT64_FORMAT,
			    load.options.trace_no);
			vrx_spi_execute(sql);
		}

		MemoryContext caller = CurrentMemoryContext;
		load.load_cxt =
		    AllocSetContextCreate(CurrentMemoryContext, "vireo load", ALLOCSET_DEFAULT_SIZES);
		load.record_cxt =
		    AllocSetContextCreate(load.load_cxt, "vireo record", ALLOCSET_DEFAULT_SIZES);
		load.batch_cxt = AllocSetContextCreate(load.load_cxt, "vireo rows", ALLOCSET_DEFAULT_SIZES);
		MemoryContextSwitchTo(load.load_cxt);
		loaded = load_files(dir_path, files, reload, load);
		MemoryContextSwitchTo(caller);
		MemoryContextDelete(load.load_cxt);
	}

	vrx_restore_search_path(search_path_level);
	SPI_finish();
	PG_RETURN_BOOL(loaded);
}
