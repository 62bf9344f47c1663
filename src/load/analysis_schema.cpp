#include "load/analysis_schema.hpp"

#include "capture/state.hpp"

extern "C" {
#include "utils/lsyscache.h"
}

int vrx_spi_execute(const char *sql)
{
	return vrx_unprofiled([&] { return SPI_execute(sql, false, 0); });
}

SPIPlanPtr vrx_spi_prepare(const char *sql, int nargs, Oid *types)
{
	SPIPlanPtr plan = SPI_prepare(sql, nargs, types);
	if (plan == nullptr)
		elog(ERROR, "vireo: could not prepare \"%s\": %s", sql, SPI_result_code_string(SPI_result));
	return plan;
}

int vrx_spi_execute_plan(SPIPlanPtr plan, Datum *values, const char *nulls)
{
	return vrx_unprofiled([&] { return SPI_execute_plan(plan, values, nulls, false, 0); });
}

int vrx_fix_search_path(void)
{
	int level = NewGUCNestLevel();
	(void) set_config_option("search_path", "pg_catalog, pg_temp", PGC_USERSET, PGC_S_SESSION,
	                         GUC_ACTION_SAVE, true, 0, false);
	return level;
}

void vrx_restore_search_path(int level)
{
	AtEOXact_GUC(true, level);
}

#define VRX_RESOURCE_COLUMNS                                                                       \
	"fs_in, fs_out, page_faults, page_reclaims, swaps, sign_recv, msg_recv, msg_snd, "             \
	"vol_contx_switch, invol_contx_switch"
#define VRX_BUFFER_COLUMNS                                                                         \
	"shared_blk_read, shared_blk_written, shared_blk_hit, local_blk_read, local_blk_written, "     \
	"local_blk_hit, tmp_blk_read, tmp_blk_written"

// The schema, one SPI_execute call per text, in this order.
static const char *const schema_sql[] = {
    "CREATE TEMPORARY TABLE pg_temp._vr_tmp_tbl_vireo (trace_id INT8, "
    "start_time TIMESTAMP WITH TIME ZONE, end_time TIMESTAMP WITH TIME ZONE, appl_name TEXT, "
    "user_id OID, db_id OID, query_type INT2, "
    "query_id INT8, explain TEXT, duration FLOAT8, rows_updated INT8, fs_in INT8, fs_out INT8, "
    "page_faults INT8, page_reclaims INT8, swaps INT8, sign_recv INT8, msg_recv INT8, "
    "msg_snd INT8, vol_contx_switch INT8, invol_contx_switch INT8, shared_blk_read INT8, "
    "shared_blk_written INT8, shared_blk_hit INT8, local_blk_read INT8, local_blk_written INT8, "
    "local_blk_hit INT8, tmp_blk_read INT8, tmp_blk_written INT8, pid INT4);"
    "CREATE INDEX _vr_tmp_tbl_vireo_trace_id_idx ON pg_temp._vr_tmp_tbl_vireo (trace_id);"
    "CREATE INDEX _vr_tmp_tbl_vireo_query_id_idx ON pg_temp._vr_tmp_tbl_vireo (query_id);"
    "CREATE INDEX _vr_tmp_tbl_vireo_start_time_idx ON pg_temp._vr_tmp_tbl_vireo (start_time);"
    "CREATE INDEX _vr_tmp_tbl_vireo_trace_id_start_time_idx ON pg_temp._vr_tmp_tbl_vireo "
    "(trace_id, start_time);"
    "CREATE INDEX _vr_tmp_tbl_vireo_trace_id_rows_updated_idx ON pg_temp._vr_tmp_tbl_vireo "
    "(trace_id, rows_updated);"
    "CREATE INDEX _vr_tmp_tbl_vireo_trace_id_query_id_idx ON pg_temp._vr_tmp_tbl_vireo "
    "(trace_id, query_id);",

    "CREATE TEMPORARY TABLE pg_temp._vr_tmp_tbl_traces (id INT4, trace CHARACTER VARYING(20));"
    "CREATE INDEX _vr_tmp_tbl_traces_id_idx ON pg_temp._vr_tmp_tbl_traces (id);",

    "CREATE TEMPORARY TABLE pg_temp._vr_tmp_tbl_query (query_id INT8, query TEXT, "
    "params OIDVECTOR, paramsarr OID[]);"
    "CREATE INDEX _vr_tmp_tbl_query_query_id_idx ON pg_temp._vr_tmp_tbl_query (query_id);"
    "CREATE INDEX _vr_tmp_tbl_query_query_idx ON pg_temp._vr_tmp_tbl_query USING HASH (query);",

    "CREATE TEMPORARY VIEW pg_temp._vr_tmp_view_data AS SELECT p.trace_id, p.start_time, "
    "p.end_time, p.appl_name, p.user_id, p.db_id, p.query_type, p.query_id, p.explain, p.duration, "
    "p.rows_updated, p.fs_in, p.fs_out, p.page_faults, p.page_reclaims, p.swaps, p.sign_recv, "
    "p.msg_recv, p.msg_snd, p.vol_contx_switch, p.invol_contx_switch, p.shared_blk_read, "
    "p.shared_blk_written, p.shared_blk_hit, p.local_blk_read, p.local_blk_written, "
    "p.local_blk_hit, p.tmp_blk_read, p.tmp_blk_written, p.pid, q.query, q.params, q.paramsarr "
    "FROM pg_temp._vr_tmp_tbl_query q JOIN pg_temp._vr_tmp_tbl_vireo p ON q.query_id = p.query_id;",

    "CREATE RULE _vr_tmp_insert_view_data AS ON INSERT TO pg_temp._vr_tmp_view_data DO INSTEAD ("
    "INSERT INTO pg_temp._vr_tmp_tbl_vireo (trace_id, query_id, start_time, end_time, appl_name, "
    "user_id, db_id, query_type, explain, duration, rows_updated, " VRX_RESOURCE_COLUMNS
    ", " VRX_BUFFER_COLUMNS
    ", pid) VALUES (NEW.trace_id, NEW.query_id, NEW.start_time, NEW.end_time, "
    "NEW.appl_name, NEW.user_id, NEW.db_id, NEW.query_type, NEW.explain, NEW.duration, "
    "NEW.rows_updated, NEW.fs_in, NEW.fs_out, NEW.page_faults, NEW.page_reclaims, NEW.swaps, "
    "NEW.sign_recv, NEW.msg_recv, NEW.msg_snd, NEW.vol_contx_switch, NEW.invol_contx_switch, "
    "NEW.shared_blk_read, NEW.shared_blk_written, NEW.shared_blk_hit, NEW.local_blk_read, "
    "NEW.local_blk_written, NEW.local_blk_hit, NEW.tmp_blk_read, NEW.tmp_blk_written, NEW.pid);"
    "INSERT INTO pg_temp._vr_tmp_tbl_query (query_id, query, params, paramsarr) VALUES "
    "(NEW.query_id, NEW.query, NEW.params, NEW.paramsarr););",

    "CREATE RULE _vr_tmp_update_query AS ON UPDATE TO pg_temp._vr_tmp_tbl_query DO "
    "UPDATE pg_temp._vr_tmp_tbl_vireo SET query_id = NEW.query_id WHERE query_id = OLD.query_id;",

    "CREATE TEMPORARY VIEW pg_temp._vr_tmp_view_query AS SELECT ctid, query_id, "
    "row_number() OVER (PARTITION BY query_id ORDER BY query_id) r FROM pg_temp._vr_tmp_tbl_query;",

    "CREATE RULE _vr_tmp_delete_query_view AS ON DELETE TO pg_temp._vr_tmp_view_query DO INSTEAD "
    "DELETE FROM pg_temp._vr_tmp_tbl_query WHERE ctid = OLD.ctid;",

    "CREATE TEMPORARY TABLE pg_temp._vr_tmp_tbl_metrics (query_id INT8, trace_id INT8, "
    "executed INT4, duration INT8, rows_updated INT8, fs_in INT8, fs_out INT8, page_faults INT8, "
    "page_reclaims INT8, swaps INT8, sign_recv INT8, msg_recv INT8, msg_snd INT8, "
    "vol_contx_switch INT8, invol_contx_switch INT8, shared_blk_read INT8, "
    "shared_blk_written INT8, shared_blk_hit INT8, local_blk_read INT8, local_blk_written INT8, "
    "local_blk_hit INT8, tmp_blk_read INT8, tmp_blk_written INT8);"
    "CREATE INDEX _vr_tmp_tbl_metrics_query_id_idx ON pg_temp._vr_tmp_tbl_metrics (query_id);"
    "CREATE INDEX _vr_tmp_tbl_metrics_trace_id_idx ON pg_temp._vr_tmp_tbl_metrics (trace_id);"
    "CREATE INDEX _vr_tmp_tbl_metrics_query_id_trace_id_idx ON pg_temp._vr_tmp_tbl_metrics "
    "(query_id, trace_id);",
};

// The objects the loader relies on: the tables, the views and the rules
// that move profile rows along with their query rows.  Indexes are the
// user's to drop: loading works without them, only slower.
struct schema_object
{
	const char *relation;
	char relkind;
	const char *rule; // null: the relation itself
};

static constexpr schema_object schema_objects[] = {
    {"_vr_tmp_tbl_vireo", RELKIND_RELATION, nullptr},
    {"_vr_tmp_tbl_traces", RELKIND_RELATION, nullptr},
    {"_vr_tmp_tbl_query", RELKIND_RELATION, nullptr},
    {"_vr_tmp_view_data", RELKIND_VIEW, nullptr},
    {"_vr_tmp_view_data", RELKIND_VIEW, "_vr_tmp_insert_view_data"},
    {"_vr_tmp_tbl_query", RELKIND_RELATION, "_vr_tmp_update_query"},
    {"_vr_tmp_view_query", RELKIND_VIEW, nullptr},
    {"_vr_tmp_view_query", RELKIND_VIEW, "_vr_tmp_delete_query_view"},
    {"_vr_tmp_tbl_metrics", RELKIND_RELATION, nullptr},
    {"_vr_tmp_tbl_prev_succ_load", RELKIND_RELATION, nullptr},
};

// The relation of that name and kind in the session's own temporary schema.
static Oid temp_relation(const char *name, char relkind)
{
	RangeVar *rv = makeRangeVar(nullptr, pstrdup(name), -1);
	rv->relpersistence = RELPERSISTENCE_TEMP;
	const Oid relid =
	    RangeVarGetRelidExtended(rv, AccessShareLock, RVR_MISSING_OK, nullptr, nullptr);
	pfree(rv->relname);
	pfree(rv);
	return OidIsValid(relid) && get_rel_relkind(relid) == relkind ? relid : InvalidOid;
}

static bool object_exists(const schema_object &object)
{
	const Oid relid = temp_relation(object.relation, object.relkind);
	if (!OidIsValid(relid) || object.rule == nullptr)
		return OidIsValid(relid);
	HeapTuple rule =
	    SearchSysCache2(RULERELNAME, ObjectIdGetDatum(relid), CStringGetDatum(object.rule));
	if (!HeapTupleIsValid(rule))
		return false;
	ReleaseSysCache(rule);
	return true;
}

void vrx_initialize(const char *trace_id)
{
	const schema_object *missing = nullptr;
	int present = 0;
	for (const schema_object &object : schema_objects)
	{
		if (object_exists(object))
			present++;
		else if (missing == nullptr)
			missing = &object;
	}
	if (missing == nullptr)
		return;
	// Loading into what is left would lose what the missing object keeps:
	// without the read positions every record would be loaded again,
	// without a rule the profile rows would lose their query rows.
	if (present > 0)
		ereport(ERROR,
		        (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		         errmsg("vireo: the analysis tables of this session are incomplete: %s \"%s\" is "
		                "missing",
		                missing->rule != nullptr ? "rule" : "relation",
		                missing->rule != nullptr ? missing->rule : missing->relation),
		         errhint("Run DISCARD TEMP (or drop the other _vr_tmp_ objects) to start anew; "
		                 "the next load creates them all again.")));

	if (XactReadOnly)
		ereport(ERROR,
		        (errcode(ERRCODE_READ_ONLY_SQL_TRANSACTION),
		         errmsg("vireo: cannot create the analysis tables in a read-only transaction"),
		         errhint("Read the trace's records with vr_trace_records('%s'), or make a report "
		                 "with vireo-report, which loads nothing.",
		                 trace_id)));
	for (const char *sql : schema_sql)
		vrx_spi_execute(sql);
	vrx_spi_execute("CREATE TEMPORARY TABLE pg_temp._vr_tmp_tbl_prev_succ_load (trace_id INT8, "
	                "pid INT4, pos INT8);");
}
