// vr_load_trace: reads a trace's data files into the session's analysis
// tables, continuing each file where the previous load of the session
// stopped, and folds identical query texts onto one query id.
#include <sys/stat.h>

#include "capture/state.hpp"
#include "frame/registry.hpp"
#include "frame/settings.hpp"
#include "load/analysis_schema.hpp"
#include "load/csv_reader.hpp"
#include "store/descriptor.hpp"
#include "store/paths.hpp"

extern "C" {
PG_FUNCTION_INFO_V1(vr_load_trace);
}

// Session counters: trace numbers and query ids keep growing for the whole
// session, also when the analysis tables are dropped.
static int64 trace_counter = 0;
static int64 query_counter = 1;

static constexpr int INSERT_PARAMS = 33;
static constexpr int PROFILE_FIELDS = 29; // a record with its query id has 30

static const char *const insert_sql =
    "INSERT INTO _vr_tmp_view_data (trace_id, start_time, end_time, appl_name, user_id, db_id, "
    "query, explain, duration, rows_updated, fs_in, fs_out, page_faults, page_reclaims, swaps, "
    "sign_recv, msg_recv, msg_snd, vol_contx_switch, invol_contx_switch, shared_blk_read, "
    "shared_blk_written, shared_blk_hit, local_blk_read, local_blk_written, local_blk_hit, "
    "tmp_blk_read, tmp_blk_written, pid, query_type, params, paramsarr, query_id) VALUES ($1, $2, "
    "$3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, $19, $20, $21, $22, "
    "$23, $24, $25, $26, $27, $28, $29, $30, $31::OIDVECTOR, $32::OID[], $33)";

static Oid insert_types[INSERT_PARAMS] = {
    INT8OID, TIMESTAMPTZOID, TIMESTAMPTZOID, TEXTOID, OIDOID,  OIDOID,  TEXTOID, TEXTOID, FLOAT8OID,
    INT8OID, INT8OID,        INT8OID,        INT8OID, INT8OID, INT8OID, INT8OID, INT8OID, INT8OID,
    INT8OID, INT8OID,        INT8OID,        INT8OID, INT8OID, INT8OID, INT8OID, INT8OID, INT8OID,
    INT8OID, INT4OID,        INT2OID,        TEXTOID, TEXTOID, INT8OID,
};

// The prepared statements of one call.
struct load_plans
{
	SPIPlanPtr insert;
	SPIPlanPtr position_insert;
	SPIPlanPtr position_select; // null when reloading
	SPIPlanPtr position_update; // null when reloading
};

static SPIPlanPtr prepare(const char *sql, int nargs, Oid *types)
{
	SPIPlanPtr plan = SPI_prepare(sql, nargs, types);
	if (plan == nullptr)
		elog(ERROR, "vireo: could not prepare \"%s\": %s", sql, SPI_result_code_string(SPI_result));
	return plan;
}

static int execute_plan(SPIPlanPtr plan, Datum *values, const char *nulls, bool read_only)
{
	return vrx_unprofiled([&] { return SPI_execute_plan(plan, values, nulls, read_only, 0); });
}

static void insert_error(void)
{
	ereport(ERROR, (errcode(ERRCODE_EXTERNAL_ROUTINE_EXCEPTION),
	                errmsg("vireo: error inserting profiler data")));
}

static void position_error(void)
{
	ereport(ERROR, (errcode(ERRCODE_EXTERNAL_ROUTINE_EXCEPTION),
	                errmsg("vireo: error saving the preivous successful profile read position.")));
}

// The trace number of trace_id in this session, made when the trace is new.
static int64 trace_number(const char *trace_id)
{
	char sql[VRX_PATH_MAX];

	snprintf(sql, sizeof(sql), "SELECT id FROM _vr_tmp_tbl_traces WHERE trace = '%s'", trace_id);
	if (vrx_spi_execute(sql, true, 0) == SPI_OK_SELECT && SPI_processed > 0)
	{
		int64 id = 0;
		str_to_long(SPI_getvalue(SPI_tuptable->vals[0], SPI_tuptable->tupdesc, 1), &id);
		return id;
	}
	int64 id = ++trace_counter;
	snprintf(sql, sizeof(sql),
	         "INSERT INTO _vr_tmp_tbl_traces (id, trace) VALUES (" INT64_FORMAT ", '%s');", id,
	         trace_id);
	vrx_spi_execute(sql, false, 0);
	return id;
}

static bool only_digits_and_spaces(const char *text)
{
	for (const char *p = text; *p != '\0'; p++)
	{
		if (!isdigit(static_cast<unsigned char>(*p)) && *p != ' ')
			return false;
	}
	return true;
}

// The parameter types field as "23 25" for OIDVECTOR ($31) or, with
// vireo.use_array_for_paramas, rewritten to "{23,25}" for OID[] ($32).
static void fill_params(const char *field, double version, Datum *values, char *nulls)
{
	nulls[30] = 'n';
	nulls[31] = 'n';
	if (version < 2.1 || field == nullptr || *field == '\0' || !only_digits_and_spaces(field))
		return;

	if (!vireo_use_array_for_paramas)
	{
		values[30] = PointerGetDatum(cstring_to_text(field));
		nulls[30] = ' ';
		return;
	}

	StringInfoData array;
	initStringInfo(&array);
	appendStringInfoChar(&array, '{');
	for (const char *p = field; *p != '\0'; p++)
	{
		if (*p != ' ')
			appendStringInfoChar(&array, *p);
		else if (p[1] != ' ')
			appendStringInfoChar(&array, ',');
	}
	appendStringInfoChar(&array, '}');
	values[31] = PointerGetDatum(cstring_to_text_with_len(array.data, array.len));
	nulls[31] = ' ';
}

// The query id of a 30-field record, or 1 when its field is not a number.
static int64 record_query_id(const char *field)
{
	if (field == nullptr || *field == '\0')
		return 1;
	char *end;
	errno = 0;
	unsigned long long id = strtoull(field, &end, 10);
	if (end == field || errno == ERANGE)
		return 1;
	for (; *end != '\0'; end++)
	{
		if (!isspace(static_cast<unsigned char>(*end)))
			return 1;
	}
	return static_cast<int64>(id);
}

enum class record_outcome
{
	insert,
	skip,
	stop
};

// Converts one profile record into the insert's values.  A record that is
// malformed is skipped; one of a statement that ended after the loading
// statement began stops the file.
static record_outcome convert_record(const csv_record &record, int64 trace_no, int32 pid,
                                     double version, Datum *values, char *nulls)
{
	if (record.count != PROFILE_FIELDS && record.count != PROFILE_FIELDS + 1)
		return record_outcome::skip;

	const char *f[PROFILE_FIELDS + 1] = {};
	int n = 0;
	for (const csv_field *field = record.first; field != nullptr && n <= PROFILE_FIELDS;
	     field = field->next)
		f[n++] = field->value.data;

	values[0] = Int64GetDatum(trace_no);
	for (int i = 0; i < 2; i++)
	{
		TimestampTz ts;
		if (f[i] == nullptr || !str_to_timestamptz(f[i], &ts))
			return record_outcome::skip;
		if (ts > statement_start)
			return record_outcome::stop;
		values[1 + i] = TimestampTzGetDatum(ts);
	}

	if (f[2] == nullptr)
		nulls[3] = 'n';
	else
		values[3] = PointerGetDatum(cstring_to_text(f[2]));

	int64 number;
	if (!str_to_long(f[3], &number))
		return record_outcome::skip;
	values[4] = ObjectIdGetDatum(static_cast<Oid>(number));
	if (!str_to_long(f[4], &number))
		return record_outcome::skip;
	values[5] = ObjectIdGetDatum(static_cast<Oid>(number));
	if (!str_to_long(f[5], &number))
		return record_outcome::skip;
	values[29] = Int16GetDatum(static_cast<int16>(number));

	if (f[6] == nullptr || f[7] == nullptr)
		return record_outcome::skip;
	values[6] = PointerGetDatum(cstring_to_text(f[6]));
	values[7] = PointerGetDatum(cstring_to_text(f[7]));

	double duration;
	if (!str_to_float8(f[8], &duration))
		return record_outcome::skip;
	values[8] = Float8GetDatum(duration);
	if (!str_to_long(f[9], &number))
		return record_outcome::skip;
	values[9] = Int64GetDatum(number);

	// Resource usage: an unreadable counter is NULL in its own column.
	for (int i = 10; i < 20; i++)
	{
		if (str_to_long(f[i], &number))
			values[i] = Int64GetDatum(number);
		else
			nulls[i] = 'n';
	}
	for (int i = 20; i < 28; i++)
	{
		if (!str_to_long(f[i], &number))
			return record_outcome::skip;
		values[i] = Int64GetDatum(number);
	}
	values[28] = Int32GetDatum(pid);

	fill_params(f[28], version, values, nulls);

	if (record.count == PROFILE_FIELDS + 1)
		query_counter = record_query_id(f[29]);
	values[32] = Int64GetDatum(query_counter);
	return record_outcome::insert;
}

// Loads one data file from its saved position.  True when it yielded rows.
static bool load_data_file(FILE *file, int32 pid, int64 trace_no, double version,
                           const load_plans &plans, MemoryContext record_cxt)
{
	int64 start = 0;
	bool known = false;

	if (plans.position_select != nullptr)
	{
		Datum args[2] = {Int32GetDatum(pid), Int64GetDatum(trace_no)};
		if (execute_plan(plans.position_select, args, nullptr, true) == SPI_OK_SELECT &&
		    SPI_processed > 0)
		{
			str_to_long(SPI_getvalue(SPI_tuptable->vals[0], SPI_tuptable->tupdesc, 1), &start);
			known = true;
		}
	}

	int64 position = start;
	int64 committed = start;
	csv_record record;
	// Every record is read and converted in record_cxt, which is reset after
	// it.  SPI calls leave the SPI procedure context current, hence the switch
	// at each record.
	MemoryContext caller = CurrentMemoryContext;
	for (;;)
	{
		MemoryContextSwitchTo(record_cxt);
		if (!get_next_vrx_csv_record(file, &position, ',', '\n', &record, false))
			break;
		Datum values[INSERT_PARAMS] = {};
		char nulls[INSERT_PARAMS + 1];
		memset(nulls, ' ', INSERT_PARAMS);
		nulls[INSERT_PARAMS] = '\0';

		const bool with_query_id = record.count == PROFILE_FIELDS + 1;
		record_outcome outcome = convert_record(record, trace_no, pid, version, values, nulls);
		if (outcome == record_outcome::stop)
			break;
		if (outcome == record_outcome::insert)
		{
			if (execute_plan(plans.insert, values, nulls, false) != SPI_OK_INSERT)
				insert_error();
			committed = position;
			if (!with_query_id)
				query_counter++;
		}
		MemoryContextReset(record_cxt);
	}
	MemoryContextSwitchTo(caller);
	MemoryContextReset(record_cxt);

	if (committed == start)
		return false;

	if (plans.position_update != nullptr && known)
	{
		Datum args[3] = {Int64GetDatum(committed), Int64GetDatum(trace_no), Int32GetDatum(pid)};
		if (execute_plan(plans.position_update, args, nullptr, false) != SPI_OK_UPDATE)
			position_error();
	}
	else
	{
		Datum args[3] = {Int64GetDatum(trace_no), Int32GetDatum(pid), Int64GetDatum(committed)};
		if (execute_plan(plans.position_insert, args, nullptr, false) != SPI_OK_INSERT)
			position_error();
	}
	return true;
}

// Folds rows of identical query text onto the smallest query id of the text,
// then keeps one query row per id.
static void fold_queries(void)
{
	vrx_spi_execute("UPDATE ONLY _vr_tmp_tbl_query SET query_id = sq.id FROM (SELECT "
	                "min(query_id) AS id, COUNT(query_id) AS c, query FROM _vr_tmp_tbl_query "
	                "GROUP BY query) sq WHERE sq.c > 1 AND _vr_tmp_tbl_query.query_id != sq.id "
	                "AND _vr_tmp_tbl_query.query = sq.query;",
	                false, 0);
	vrx_spi_execute("DELETE FROM _vr_tmp_view_query WHERE r > 1;", false, 0);
}

Datum vr_load_trace(PG_FUNCTION_ARGS)
{
	char *trace_id = PG_ARGISNULL(0) ? nullptr : text_to_cstring(PG_GETARG_TEXT_PP(0));
	const bool reload = !PG_ARGISNULL(1) && PG_GETARG_BOOL(1);

	vrx_require_registry();
	vrx_check_trace_id(trace_id != nullptr ? trace_id : "");

	vrx_trace_descriptor d;
	if (!load_trace_ini(trace_id, &d))
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		                errmsg("Could not load the trace '%s'.", trace_id)));
	const Oid owner = static_cast<Oid>(d.owner);
	const double version = d.version;
	vrx_free_descriptor(&d);

	if (!superuser() && owner != GetUserId())
		ereport(ERROR, (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
		                errmsg("Trace (%s) is not intiated by this user. Only the super-user or "
		                       "the user who intiated the trace can load it.",
		                       trace_id)));

	int rc = SPI_connect();
	if (rc < 0)
		elog(ERROR, "vr_load_trace: SPI_connect returned %d", rc);

	vrx_initialize();

	load_plans plans = {};
	plans.insert = prepare(insert_sql, INSERT_PARAMS, insert_types);
	Oid position_insert_types[3] = {INT8OID, INT4OID, INT8OID};
	plans.position_insert = prepare("INSERT INTO _vr_tmp_tbl_prev_succ_load( trace_id, pid, pos) "
	                                "VALUES ($1, $2, $3);",
	                                3, position_insert_types);

	char dir_path[VRX_PATH_MAX];
	vrx_trace_dir_path(dir_path, trace_id);
	DIR *dir = AllocateDir(dir_path);
	if (dir == nullptr)
	{
		SPI_finish();
		PG_RETURN_BOOL(false);
	}

	const int64 trace_no = trace_number(trace_id);

	char sql[VRX_PATH_MAX];
	if (reload)
	{
		snprintf(sql, sizeof(sql), "DELETE FROM _vr_tmp_tbl_vireo WHERE trace_id = " INT64_FORMAT,
		         trace_no);
		vrx_spi_execute(sql, false, 0);
		snprintf(sql, sizeof(sql),
		         "DELETE FROM _vr_tmp_tbl_prev_succ_load WHERE trace_id = " INT64_FORMAT, trace_no);
		vrx_spi_execute(sql, false, 0);
	}
	else
	{
		Oid select_types[2] = {INT4OID, INT8OID};
		plans.position_select = prepare("SELECT pos FROM _vr_tmp_tbl_prev_succ_load  WHERE pid = "
		                                "$1 AND trace_id = $2",
		                                2, select_types);
		Oid update_types[3] = {INT8OID, INT8OID, INT4OID};
		plans.position_update = prepare("UPDATE _vr_tmp_tbl_prev_succ_load SET pos = $1   WHERE "
		                                "trace_id = $2 AND pid = $3",
		                                3, update_types);
	}

	MemoryContext record_cxt =
	    AllocSetContextCreate(CurrentMemoryContext, "vireo record", ALLOCSET_DEFAULT_SIZES);
	bool loaded = false;
	struct dirent *de;
	while ((de = ReadDir(dir, dir_path)) != nullptr)
	{
		int32 pid;
		char path[VRX_PATH_MAX];
		struct stat st;

		if (!vrx_data_file_name(de->d_name, &pid) || pid < 0)
			continue;
		snprintf(path, sizeof(path), "%s/%s", dir_path, de->d_name);
		// Regular files only: a FIFO or device planted under a data file name
		// would block the load or read something that is not a trace.
		if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
			continue;
		FILE *file = AllocateFile(path, "r");
		if (file == nullptr)
			continue;
		if (load_data_file(file, pid, trace_no, version, plans, record_cxt))
			loaded = true;
		FreeFile(file);
	}
	FreeDir(dir);
	MemoryContextDelete(record_cxt);

	if (loaded)
		fold_queries();

	SPI_finish();
	PG_RETURN_BOOL(loaded);
}
