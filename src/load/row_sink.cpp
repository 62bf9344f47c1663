#include "load/row_sink.hpp"

#include "frame/pg_compat.hpp"
#include "load/analysis_schema.hpp"

extern "C" {
#include "access/genam.h"
#include "access/heapam.h"
#include "access/table.h"
#include "access/tableam.h"
#include "utils/rel.h"
}

struct vrx_row_sink
{
	const char *table;
	const vrx_column *columns;
	int ncolumns;
	Relation rel;
	int used;
	int64 added;
	float4 rows_before; // as of the table's last analysis

	// multi-insert path (estate set)
	EState *estate;
	ResultRelInfo *rri;
	BulkInsertState bistate;
	TupleTableSlot *slots[VRX_SINK_BATCH];
	bool plain_indexes; // every index is on columns alone, without checks
	                    // that need the executor: entries made from values

	// the buffered rows (for the statement path, and the plain indexes)
	Datum *values;
	bool *isnull;

	// statement path
	SPIPlanPtr insert;
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

static void prepare_statement(vrx_row_sink *sink)
{
	StringInfoData sql;
	initStringInfo(&sql);
	appendStringInfo(&sql, "INSERT INTO pg_temp.%s (", sink->table);
	for (int i = 0; i < sink->ncolumns; i++)
		appendStringInfo(&sql, "%s%s", i > 0 ? ", " : "", sink->columns[i].name);
	appendStringInfoString(&sql, ") VALUES (");
	Oid *types = static_cast<Oid *>(palloc(sizeof(Oid) * sink->ncolumns));
	for (int i = 0; i < sink->ncolumns; i++)
	{
		appendStringInfo(&sql, "%s$%d", i > 0 ? ", " : "", i + 1);
		types[i] = sink->columns[i].type;
	}
	appendStringInfoChar(&sql, ')');
	sink->insert = vrx_spi_prepare(sql.data, sink->ncolumns, types);
}

// Whether the entries of every index can be made from the row's values:
// columns only (no expressions, no predicate, no exclusion constraint), as
// the executor would make them.
static bool plain_indexes(const ResultRelInfo *rri)
{
	for (int i = 0; i < rri->ri_NumIndices; i++)
	{
		const IndexInfo *info = rri->ri_IndexRelationInfo[i];
		if (info->ii_Expressions != NIL || info->ii_Predicate != NIL ||
		    info->ii_ExclusionOps != nullptr || !info->ii_ReadyForInserts)
			return false;
	}
	return true;
}

// The index entries of the buffered rows, made from their values.
static void insert_index_entries(vrx_row_sink *sink)
{
	Datum values[INDEX_MAX_KEYS];
	bool isnull[INDEX_MAX_KEYS];
	for (int i = 0; i < sink->rri->ri_NumIndices; i++)
	{
		Relation index = sink->rri->ri_IndexRelationDescs[i];
		IndexInfo *info = sink->rri->ri_IndexRelationInfo[i];
		const IndexUniqueCheck check =
		    index->rd_index->indisunique ? UNIQUE_CHECK_YES : UNIQUE_CHECK_NO;
		for (int row = 0; row < sink->used; row++)
		{
			const Datum *row_values = sink->values + row * sink->ncolumns;
			const bool *row_isnull = sink->isnull + row * sink->ncolumns;
			for (int k = 0; k < info->ii_NumIndexAttrs; k++)
			{
				const int column = info->ii_IndexAttrNumbers[k] - 1;
				values[k] = row_values[column];
				isnull[k] = row_isnull[column];
			}
			index_insert(index, values, isnull, &sink->slots[row]->tts_tid, sink->rel, check, false,
			             info);
		}
	}
}

vrx_row_sink *vrx_sink_open(const char *table, const vrx_column *columns, int ncolumns)
{
	auto *sink = static_cast<vrx_row_sink *>(palloc0(sizeof(vrx_row_sink)));
	sink->table = table;
	sink->columns = columns;
	sink->ncolumns = ncolumns;
	sink->rel =
	    table_openrv(makeRangeVar(pstrdup("pg_temp"), pstrdup(table), -1), RowExclusiveLock);
	sink->rows_before = Max(sink->rel->rd_rel->reltuples, 0);

	if (direct_insert_possible(sink->rel, columns, ncolumns))
	{
		sink->estate = CreateExecutorState();
		MemoryContext caller = MemoryContextSwitchTo(sink->estate->es_query_cxt);
		sink->rri = makeNode(ResultRelInfo);
		InitResultRelInfo(sink->rri, sink->rel, 1, nullptr, 0);
		ExecOpenIndices(sink->rri, false);
		MemoryContextSwitchTo(caller);
		sink->plain_indexes = plain_indexes(sink->rri);
		if (!indexes_immediate(sink->rri))
		{
			ExecCloseIndices(sink->rri);
			FreeExecutorState(sink->estate);
			sink->estate = nullptr;
		}
	}
	sink->values = static_cast<Datum *>(palloc(sizeof(Datum) * ncolumns * VRX_SINK_BATCH));
	sink->isnull = static_cast<bool *>(palloc(sizeof(bool) * ncolumns * VRX_SINK_BATCH));
	if (sink->estate == nullptr)
	{
		prepare_statement(sink);
		return sink;
	}
	sink->bistate = GetBulkInsertState();
	for (int i = 0; i < VRX_SINK_BATCH; i++)
		sink->slots[i] = table_slot_create(sink->rel, nullptr);
	return sink;
}

bool vrx_sink_add(vrx_row_sink *sink, const Datum *values, const bool *nulls)
{
	memcpy(sink->values + sink->used * sink->ncolumns, values, sizeof(Datum) * sink->ncolumns);
	memcpy(sink->isnull + sink->used * sink->ncolumns, nulls, sizeof(bool) * sink->ncolumns);
	if (sink->estate != nullptr)
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

	if (sink->estate == nullptr)
	{
		char *nulls = static_cast<char *>(palloc(sink->ncolumns));
		for (int row = 0; row < sink->used; row++)
		{
			for (int i = 0; i < sink->ncolumns; i++)
				nulls[i] = sink->isnull[row * sink->ncolumns + i] ? 'n' : ' ';
			// A rule of the user's may do something else instead, or nothing.
			const int rc =
			    vrx_spi_execute_plan(sink->insert, sink->values + row * sink->ncolumns, nulls);
			if (rc != SPI_OK_INSERT && rc != SPI_OK_REWRITTEN)
				insert_error();
		}
		pfree(nulls);
	}
	else
	{
		// The access method and the index insertions may leave garbage in
		// the current context: give them the per-tuple one.
		MemoryContext caller = MemoryContextSwitchTo(GetPerTupleMemoryContext(sink->estate));
		table_multi_insert(sink->rel, sink->slots, sink->used, GetCurrentCommandId(true), 0,
		                   sink->bistate);
		if (sink->plain_indexes)
			insert_index_entries(sink);
		else
		{
			for (int i = 0; i < sink->used && sink->rri->ri_NumIndices > 0; i++)
				list_free(vrx_insert_index_tuples(sink->rri, sink->slots[i], sink->estate));
		}
		MemoryContextSwitchTo(caller);
		ResetPerTupleExprContext(sink->estate);
		for (int i = 0; i < sink->used; i++)
			ExecClearTuple(sink->slots[i]);
	}
	sink->added += sink->used;
	sink->used = 0;
}

// ANALYZE of the table's analyzed columns.
static void analyze(const vrx_row_sink *sink)
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

void vrx_sink_close(vrx_row_sink *sink)
{
	vrx_sink_flush(sink);
	if (sink->estate == nullptr)
		SPI_freeplan(sink->insert);
	else
	{
		ExecCloseIndices(sink->rri);
		for (int i = 0; i < VRX_SINK_BATCH; i++)
			ExecDropSingleTupleTableSlot(sink->slots[i]);
		FreeBulkInsertState(sink->bistate);
		FreeExecutorState(sink->estate);
	}
	// Only its owner (or a member of the owner role) may analyze the table.
	const bool many = sink->added > 50 + sink->rows_before / 10 &&
	                  has_privs_of_role(GetUserId(), sink->rel->rd_rel->relowner);
	table_close(sink->rel, NoLock);
	if (many)
		analyze(sink);
}
