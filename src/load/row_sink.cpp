#include "load/row_sink.hpp"

#include "capture/state.hpp"
#include "frame/pg_compat.hpp"
#include "load/analysis_schema.hpp"

extern "C" {
#include "access/heapam.h"
#include "access/table.h"
#include "access/tableam.h"
#include "storage/bufmgr.h"
#include "utils/lsyscache.h"
#include "utils/rel.h"
}

enum class sink_mode
{
	statement, // one INSERT statement per row
	indexed,   // multi-insert with index entries
	bulk       // multi-insert, indexes rebuilt at the end
};

struct vrx_row_sink
{
	const char *table;
	const vrx_column *columns;
	int ncolumns;
	Relation rel;
	sink_mode mode;
	int used;
	int64 added;
	float4 rows_before; // as of the table's last analysis
	bool indexes_stale; // rows were added without index entries

	// direct modes
	EState *estate;
	ResultRelInfo *rri;
	BulkInsertState bistate;
	TupleTableSlot *slots[VRX_SINK_BATCH];

	// statement mode
	SPIPlanPtr insert;
	Datum *values;
	char *nulls;
};

static void insert_error(void)
{
	ereport(ERROR, (errcode(ERRCODE_EXTERNAL_ROUTINE_EXCEPTION),
	                errmsg("vireo: error inserting profiler data")));
}

// Whether rows may bypass the executor: the table has exactly the expected
// columns and nothing that an INSERT statement would run or check.
static bool direct_insert_possible(Relation rel, const vrx_column *columns, int ncolumns)
{
	TupleDesc desc = RelationGetDescr(rel);
	if (rel->rd_rel->relkind != RELKIND_RELATION || desc->natts != ncolumns ||
	    desc->constr != nullptr || rel->trigdesc != nullptr || rel->rd_rel->relrowsecurity)
		return false;
	for (int i = 0; i < ncolumns; i++)
	{
		Form_pg_attribute attr = TupleDescAttr(desc, i);
		if (attr->attisdropped || attr->atttypid != columns[i].type ||
		    strcmp(NameStr(attr->attname), columns[i].name) != 0)
			return false;
	}
	if (rel->rd_rules != nullptr)
	{
		for (int i = 0; i < rel->rd_rules->numLocks; i++)
		{
			if (rel->rd_rules->rules[i]->event == CMD_INSERT)
				return false;
		}
	}
	return pg_class_aclcheck(RelationGetRelid(rel), GetUserId(), ACL_INSERT) == ACLCHECK_OK;
}

// Whether no index of the table defers its checks, which the multi-insert
// path would have to queue like the executor does.
static bool indexes_immediate(const ResultRelInfo *rri)
{
	for (int i = 0; i < rri->ri_NumIndices; i++)
	{
		if (!rri->ri_IndexRelationDescs[i]->rd_index->indimmediate)
			return false;
	}
	return true;
}

// Whether the indexes may be rebuilt: the caller may, and only this sink
// has them open (an index that a scan of the calling query holds cannot be
// rebuilt under it).
static bool indexes_rebuildable(const vrx_row_sink *sink)
{
	if (!has_privs_of_role(GetUserId(), sink->rel->rd_rel->relowner))
		return false;
	for (int i = 0; i < sink->rri->ri_NumIndices; i++)
	{
		if (sink->rri->ri_IndexRelationDescs[i]->rd_refcnt != 1)
			return false;
	}
	return true;
}

static void prepare_statement(vrx_row_sink *sink, const vrx_column *columns)
{
	StringInfoData sql;
	initStringInfo(&sql);
	appendStringInfo(&sql, "INSERT INTO pg_temp.%s (", sink->table);
	for (int i = 0; i < sink->ncolumns; i++)
		appendStringInfo(&sql, "%s%s", i > 0 ? ", " : "", columns[i].name);
	appendStringInfoString(&sql, ") VALUES (");
	Oid *types = static_cast<Oid *>(palloc(sizeof(Oid) * sink->ncolumns));
	for (int i = 0; i < sink->ncolumns; i++)
	{
		appendStringInfo(&sql, "%s$%d", i > 0 ? ", " : "", i + 1);
		types[i] = columns[i].type;
	}
	appendStringInfoChar(&sql, ')');
	sink->insert = vrx_spi_prepare(sql.data, sink->ncolumns, types);
	sink->values = static_cast<Datum *>(palloc(sizeof(Datum) * sink->ncolumns * VRX_SINK_BATCH));
	sink->nulls = static_cast<char *>(palloc(sink->ncolumns * VRX_SINK_BATCH));
}

// Loads smaller than this add their index entries as they go.
static constexpr int64 BULK_MIN_BYTES = 1024 * 1024;

vrx_row_sink *vrx_sink_open(const char *table, const vrx_column *columns, int ncolumns,
                            int64 incoming)
{
	auto *sink = static_cast<vrx_row_sink *>(palloc0(sizeof(vrx_row_sink)));
	sink->table = table;
	sink->columns = columns;
	sink->ncolumns = ncolumns;

	RangeVar *rv = makeRangeVar(pstrdup("pg_temp"), pstrdup(table), -1);
	sink->rel = table_openrv(rv, RowExclusiveLock);
	sink->rows_before = Max(sink->rel->rd_rel->reltuples, 0);
	const bool bulk =
	    incoming >= BULK_MIN_BYTES &&
	    incoming >= static_cast<int64>(RelationGetNumberOfBlocks(sink->rel)) * BLCKSZ;

	sink->mode = sink_mode::statement;
	if (direct_insert_possible(sink->rel, columns, ncolumns))
	{
		sink->estate = CreateExecutorState();
		MemoryContext caller = MemoryContextSwitchTo(sink->estate->es_query_cxt);
		sink->rri = makeNode(ResultRelInfo);
		InitResultRelInfo(sink->rri, sink->rel, 1, nullptr, 0);
		ExecOpenIndices(sink->rri, false);
		MemoryContextSwitchTo(caller);
		if (indexes_immediate(sink->rri))
			sink->mode =
			    bulk && indexes_rebuildable(sink) ? sink_mode::bulk : sink_mode::indexed;
		else
		{
			ExecCloseIndices(sink->rri);
			FreeExecutorState(sink->estate);
			sink->estate = nullptr;
		}
	}

	if (sink->mode == sink_mode::statement)
	{
		prepare_statement(sink, columns);
		return sink;
	}
	sink->bistate = GetBulkInsertState();
	for (int i = 0; i < VRX_SINK_BATCH; i++)
		sink->slots[i] = table_slot_create(sink->rel, nullptr);
	return sink;
}

bool vrx_sink_add(vrx_row_sink *sink, const Datum *values, const bool *nulls)
{
	if (sink->mode == sink_mode::statement)
	{
		Datum *row_values = sink->values + sink->used * sink->ncolumns;
		char *row_nulls = sink->nulls + sink->used * sink->ncolumns;
		for (int i = 0; i < sink->ncolumns; i++)
		{
			row_values[i] = values[i];
			row_nulls[i] = nulls[i] ? 'n' : ' ';
		}
	}
	else
	{
		TupleTableSlot *slot = sink->slots[sink->used];
		ExecClearTuple(slot);
		memcpy(slot->tts_values, values, sizeof(Datum) * sink->ncolumns);
		memcpy(slot->tts_isnull, nulls, sizeof(bool) * sink->ncolumns);
		ExecStoreVirtualTuple(slot);
	}
	if (++sink->used < VRX_SINK_BATCH)
		return false;
	vrx_sink_flush(sink);
	return true;
}

void vrx_sink_flush(vrx_row_sink *sink)
{
	if (sink->used == 0)
		return;

	if (sink->mode == sink_mode::statement)
	{
		for (int row = 0; row < sink->used; row++)
		{
			if (vrx_spi_execute_plan(sink->insert, sink->values + row * sink->ncolumns,
			                         sink->nulls + row * sink->ncolumns) != SPI_OK_INSERT)
				insert_error();
		}
	}
	else
	{
		// The access method and the index insertions may leave garbage in
		// the current context: give them the per-tuple one.
		MemoryContext caller = MemoryContextSwitchTo(GetPerTupleMemoryContext(sink->estate));
		table_multi_insert(sink->rel, sink->slots, sink->used, GetCurrentCommandId(true), 0,
		                   sink->bistate);
		if (sink->mode == sink_mode::indexed)
		{
			for (int i = 0; i < sink->used && sink->rri->ri_NumIndices > 0; i++)
				list_free(vrx_insert_index_tuples(sink->rri, sink->slots[i], sink->estate));
		}
		else
			sink->indexes_stale = true;
		MemoryContextSwitchTo(caller);
		ResetPerTupleExprContext(sink->estate);
		for (int i = 0; i < sink->used; i++)
			ExecClearTuple(sink->slots[i]);
	}
	sink->added += sink->used;
	sink->used = 0;
}

// Rebuilds every index of the table after rows went in without their
// entries.  Our own references to the indexes are dropped first, as an
// index that is open elsewhere cannot be rebuilt.
static void rebuild_indexes(vrx_row_sink *sink)
{
	List *indexes = RelationGetIndexList(sink->rel);
	ExecCloseIndices(sink->rri);
	ListCell *lc;
	foreach (lc, indexes)
	{
		char *name = get_rel_name(lfirst_oid(lc));
		if (name == nullptr)
			continue;
		char *sql = psprintf("REINDEX INDEX pg_temp.%s", quote_identifier(name));
		vrx_spi_execute(sql);
		pfree(sql);
	}
	list_free(indexes);
	sink->indexes_stale = false;
}

void vrx_sink_leave_bulk(vrx_row_sink *sink)
{
	if (sink->mode != sink_mode::bulk)
		return;
	vrx_sink_flush(sink);
	if (sink->indexes_stale)
	{
		rebuild_indexes(sink);
		// The index descriptions must live as long as the sink.
		MemoryContext caller = MemoryContextSwitchTo(sink->estate->es_query_cxt);
		ExecOpenIndices(sink->rri, false);
		MemoryContextSwitchTo(caller);
	}
	sink->mode = sink_mode::indexed;
}

void vrx_sink_close(vrx_row_sink *sink)
{
	vrx_sink_flush(sink);
	if (sink->mode == sink_mode::statement)
		SPI_freeplan(sink->insert);
	else
	{
		if (sink->indexes_stale)
			rebuild_indexes(sink);
		else
			ExecCloseIndices(sink->rri);
		for (int i = 0; i < VRX_SINK_BATCH; i++)
			ExecDropSingleTupleTableSlot(sink->slots[i]);
		FreeBulkInsertState(sink->bistate);
		FreeExecutorState(sink->estate);
	}
	const bool analyze = sink->added > 50 + sink->rows_before / 10 &&
	                     has_privs_of_role(GetUserId(), sink->rel->rd_rel->relowner);
	table_close(sink->rel, NoLock);
	if (analyze)
	{
		StringInfoData sql;
		initStringInfo(&sql);
		appendStringInfo(&sql, "ANALYZE pg_temp.%s (", sink->table);
		const char *separator = "";
		for (int i = 0; i < sink->ncolumns; i++)
		{
			if (!sink->columns[i].analyzed)
				continue;
			appendStringInfo(&sql, "%s%s", separator, sink->columns[i].name);
			separator = ", ";
		}
		appendStringInfoChar(&sql, ')');
		vrx_spi_execute(sql.data);
		pfree(sql.data);
	}
}
