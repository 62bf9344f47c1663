#include "load/query_ids.hpp"

#include "frame/pg_compat.hpp"
#include "load/analysis_schema.hpp"

extern "C" {
#include "access/relscan.h"
#include "access/stratnum.h"
#include "access/table.h"
#include "access/tableam.h"
#include "catalog/pg_am.h"
#include "common/hashfn.h"
#include "utils/fmgroids.h"
#include "utils/lsyscache.h"
#include "utils/memutils.h"
#include "utils/rel.h"
#include "utils/snapmgr.h"
}

const vrx_column vrx_query_columns[4] = {
    {"query_id", INT8OID, true},
    {"query", TEXTOID, true},
    {"params", OIDVECTOROID, false},
    {"paramsarr", OIDARRAYOID, false},
};

static constexpr AttrNumber QUERY_ID_ATTNUM = 1;
static constexpr AttrNumber QUERY_ATTNUM = 2;

// The filter that tells which forgotten texts the load added: two bits a
// text in a table of 2^24 bits (2 MB), picked by the text's 64-bit hash.  A
// million texts give about one false "maybe" in a hundred, which costs one
// look-up in the table.
static constexpr int FILTER_BITS_LOG2 = 24;
static constexpr uint64 FILTER_MASK = (UINT64CONST(1) << FILTER_BITS_LOG2) - 1;

// Source of query ids for records without one; it keeps growing for the
// whole session, also when the analysis tables are dropped.
static int64 query_counter = 1;

struct text_key
{
	uint64 hash;
	int32 len;
	const char *data;
};

struct text_entry
{
	text_key key; // data points into query
	int64 id;
	text *query;
	uint32 hits; // records that found the text here
};

// A way to find rows of the query table by one column: an index scan when a
// usable index exists, a statement otherwise.
struct lookup
{
	Oid index;
	StrategyNumber strategy;
	RegProcedure proc;
	SPIPlanPtr plan; // when there is no index
};

struct vrx_query_ids
{
	vrx_row_sink *queries;
	MemoryContext cxt;       // of the load
	MemoryContext texts_cxt; // the texts, their map and their pending rows
	HTAB *texts;
	uint64 *added;       // texts this load added, once some were forgotten
	bool table_had_rows; // the query table held rows when the load began
	int64 max_id;        // no query row has a larger id
	Relation rel;
	TupleTableSlot *slot;
	lookup by_text;
	lookup by_id;
};

// Memory for the texts of a load: a load is bulk work, like building an
// index, and gets maintenance_work_mem.  With the default 64 MB a load of a
// workload without prepared statements (half a million distinct texts in a
// million records) keeps most of its texts, where 4 MB made it look up one
// text in ten in the query table again.
static Size text_memory(void)
{
	return Size(maintenance_work_mem) * 1024;
}

static uint32 text_key_hash(const void *key, Size)
{
	return static_cast<uint32>(static_cast<const text_key *>(key)->hash);
}

static int text_key_match(const void *a, const void *b, Size)
{
	auto *x = static_cast<const text_key *>(a);
	auto *y = static_cast<const text_key *>(b);
	return x->hash == y->hash && x->len == y->len && memcmp(x->data, y->data, x->len) == 0 ? 0 : 1;
}

static void create_map(vrx_query_ids *ids)
{
	HASHCTL ctl = {};
	ctl.keysize = sizeof(text_key);
	ctl.entrysize = sizeof(text_entry);
	ctl.hash = text_key_hash;
	ctl.match = text_key_match;
	ctl.hcxt = ids->texts_cxt;
	ids->texts = hash_create("vireo query texts", 1024, &ctl,
	                         HASH_ELEM | HASH_FUNCTION | HASH_COMPARE | HASH_CONTEXT);
}

static text_key make_key(const text *query)
{
	text_key key;
	key.len = VARSIZE_ANY_EXHDR(query);
	key.data = VARDATA_ANY(query);
	key.hash = hash_bytes_extended(reinterpret_cast<const unsigned char *>(key.data), key.len, 0);
	return key;
}

static void add_to_filter(vrx_query_ids *ids, const text_key &key)
{
	const uint64 a = key.hash & FILTER_MASK;
	const uint64 b = (key.hash >> 32) & FILTER_MASK;
	ids->added[a / 64] |= UINT64CONST(1) << (a % 64);
	ids->added[b / 64] |= UINT64CONST(1) << (b % 64);
}

static bool maybe_in_filter(const vrx_query_ids *ids, const text_key &key)
{
	const uint64 a = key.hash & FILTER_MASK;
	const uint64 b = (key.hash >> 32) & FILTER_MASK;
	return (ids->added[a / 64] & (UINT64CONST(1) << (a % 64))) != 0 &&
	       (ids->added[b / 64] & (UINT64CONST(1) << (b % 64))) != 0;
}

// Whether index can find rows whose column attnum (of type type) equals a
// value with the equality function proc: a valid B-tree or hash index on
// that column alone whose equality is that function.
static bool usable_index(Relation index, AttrNumber attnum, Oid type, RegProcedure proc,
                         lookup *out)
{
	Form_pg_index form = index->rd_index;
	if (form->indnatts != 1 || form->indkey.values[0] != attnum || !form->indisvalid ||
	    RelationGetIndexExpressions(index) != NIL || RelationGetIndexPredicate(index) != NIL)
		return false;
	const Oid am = index->rd_rel->relam;
	StrategyNumber strategy;
	if (am == BTREE_AM_OID)
		strategy = BTEqualStrategyNumber;
	else if (am == HASH_AM_OID)
		strategy = HTEqualStrategyNumber;
	else
		return false;
	Oid op = get_opfamily_member(index->rd_opfamily[0], type, type, strategy);
	if (!OidIsValid(op) || get_opcode(op) != proc)
		return false;
	out->index = RelationGetRelid(index);
	out->strategy = strategy;
	out->proc = proc;
	return true;
}

// Finds the ways to look rows up by text and by id.
static void prepare_lookups(vrx_query_ids *ids)
{
	List *indexes = RelationGetIndexList(ids->rel);
	ListCell *lc;
	foreach (lc, indexes)
	{
		Relation index = index_open(lfirst_oid(lc), AccessShareLock);
		if (!OidIsValid(ids->by_text.index))
			usable_index(index, QUERY_ATTNUM, TEXTOID, F_TEXTEQ, &ids->by_text);
		if (!OidIsValid(ids->by_id.index))
			usable_index(index, QUERY_ID_ATTNUM, INT8OID, F_INT8EQ, &ids->by_id);
		index_close(index, AccessShareLock);
	}
	list_free(indexes);

	Oid text_type = TEXTOID;
	Oid id_type = INT8OID;
	if (!OidIsValid(ids->by_text.index))
		ids->by_text.plan = vrx_spi_prepare(
		    "SELECT query_id FROM pg_temp._vr_tmp_tbl_query WHERE query = $1", 1, &text_type);
	if (!OidIsValid(ids->by_id.index))
		ids->by_id.plan = vrx_spi_prepare(
		    "SELECT query_id FROM pg_temp._vr_tmp_tbl_query WHERE query_id = $1 LIMIT 1", 1,
		    &id_type);
}

vrx_query_ids *vrx_query_ids_begin(vrx_row_sink *queries)
{
	auto *ids = static_cast<vrx_query_ids *>(palloc0(sizeof(vrx_query_ids)));
	ids->queries = queries;
	ids->cxt = CurrentMemoryContext;

	vrx_spi_execute("SELECT (SELECT max(query_id) FROM pg_temp._vr_tmp_tbl_query), "
	                "EXISTS (SELECT FROM pg_temp._vr_tmp_tbl_query)");
	bool isnull;
	Datum max_id = SPI_getbinval(SPI_tuptable->vals[0], SPI_tuptable->tupdesc, 1, &isnull);
	ids->max_id = isnull ? PG_INT64_MIN : DatumGetInt64(max_id);
	ids->table_had_rows =
	    DatumGetBool(SPI_getbinval(SPI_tuptable->vals[0], SPI_tuptable->tupdesc, 2, &isnull));
	SPI_freetuptable(SPI_tuptable);
	MemoryContextSwitchTo(ids->cxt);

	ids->rel = table_openrv(makeRangeVar(pstrdup("pg_temp"), pstrdup("_vr_tmp_tbl_query"), -1),
	                        AccessShareLock);
	ids->slot = table_slot_create(ids->rel, nullptr);
	prepare_lookups(ids);
	MemoryContextSwitchTo(ids->cxt);

	ids->texts_cxt = AllocSetContextCreate(ids->cxt, "vireo query texts", ALLOCSET_DEFAULT_SIZES);
	create_map(ids);
	return ids;
}

void vrx_query_ids_end(vrx_query_ids *ids)
{
	vrx_sink_flush(ids->queries);
	ExecDropSingleTupleTableSlot(ids->slot);
	table_close(ids->rel, NoLock);
	MemoryContextDelete(ids->texts_cxt);
}

static bool same_value(Datum stored, Datum value, Oid type)
{
	if (type != TEXTOID)
		return DatumGetInt64(stored) == DatumGetInt64(value);
	text *a = DatumGetTextPP(stored);
	text *b = DatumGetTextPP(value);
	return VARSIZE_ANY_EXHDR(a) == VARSIZE_ANY_EXHDR(b) &&
	       memcmp(VARDATA_ANY(a), VARDATA_ANY(b), VARSIZE_ANY_EXHDR(a)) == 0;
}

// Rows of the query table whose column of l equals value: calls found with
// the row's id (or with null) for each, which returns false to stop.  Our
// own rows of this transaction count, also those that an earlier call in the
// same statement wrote; rows still buffered are not seen.
template <typename Found>
static void scan_rows(vrx_query_ids *ids, const lookup &l, Datum value, Oid type, Found &&found)
{
	if (!OidIsValid(l.index))
	{
		char nulls[1] = {' '};
		vrx_spi_execute_plan(l.plan, &value, nulls);
		for (uint64 i = 0; i < SPI_processed; i++)
		{
			bool isnull;
			Datum id = SPI_getbinval(SPI_tuptable->vals[i], SPI_tuptable->tupdesc, 1, &isnull);
			if (!found(isnull ? 0 : DatumGetInt64(id), isnull))
				break;
		}
		SPI_freetuptable(SPI_tuptable);
		return;
	}

	Relation index = index_open(l.index, AccessShareLock);
	ScanKeyData key;
	ScanKeyEntryInitialize(&key, 0, 1, l.strategy, InvalidOid, index->rd_indcollation[0], l.proc,
	                       value);
	IndexScanDesc scan = vrx_index_beginscan(ids->rel, index, SnapshotSelf, 1);
	index_rescan(scan, &key, 1, nullptr, 0);
	const AttrNumber attnum = type == TEXTOID ? QUERY_ATTNUM : QUERY_ID_ATTNUM;
	while (index_getnext_slot(scan, ForwardScanDirection, ids->slot))
	{
		// A hash index gives candidates only: compare the value again.
		bool isnull;
		Datum stored = slot_getattr(ids->slot, attnum, &isnull);
		if (isnull || !same_value(stored, value, type))
			continue;
		Datum id = slot_getattr(ids->slot, QUERY_ID_ATTNUM, &isnull);
		if (!found(isnull ? 0 : DatumGetInt64(id), isnull))
			break;
	}
	index_endscan(scan);
	index_close(index, AccessShareLock);
	ExecClearTuple(ids->slot);
}

// Whether some text has the id: a query row of the table, those that this
// load buffered included.
static bool id_taken(vrx_query_ids *ids, int64 id)
{
	if (id > ids->max_id)
		return false;
	vrx_sink_flush(ids->queries);
	bool taken = false;
	scan_rows(ids, ids->by_id, Int64GetDatum(id), INT8OID, [&](int64, bool) {
		taken = true;
		return false;
	});
	return taken;
}

static int64 next_counter(int64 value)
{
	return value == PG_INT64_MAX ? 1 : value + 1;
}

// The next value of the counter that no text has.
static int64 fresh_id(vrx_query_ids *ids)
{
	for (;;)
	{
		CHECK_FOR_INTERRUPTS();
		const int64 id = query_counter;
		query_counter = next_counter(query_counter);
		if (!id_taken(ids, id))
			return id;
	}
}

// Gives every query row of text the id, moving the profile rows of its
// other ids along (the query table's update rule does that), and keeps one
// row of the text.  The statements read both tables, so everything buffered
// is written first.
static void fold_text(vrx_query_ids *ids, vrx_row_sink *profiles, const text *query, int64 id,
                      bool duplicates)
{
	vrx_sink_flush(ids->queries);
	vrx_sink_flush(profiles);

	Oid types[2] = {INT8OID, TEXTOID};
	Datum values[2] = {Int64GetDatum(id), PointerGetDatum(query)};
	const char nulls[2] = {' ', ' '};
	SPIPlanPtr update = vrx_spi_prepare("UPDATE ONLY pg_temp._vr_tmp_tbl_query SET query_id = $1 "
	                                    "WHERE query = $2 AND query_id <> $1",
	                                    2, types);
	vrx_spi_execute_plan(update, values, nulls);
	SPI_freeplan(update);
	if (duplicates)
	{
		SPIPlanPtr remove = vrx_spi_prepare(
		    "DELETE FROM ONLY pg_temp._vr_tmp_tbl_query WHERE query = $2 AND query_id = $1 AND "
		    "ctid <> (SELECT ctid FROM pg_temp._vr_tmp_tbl_query WHERE query = $2 AND "
		    "query_id = $1 LIMIT 1)",
		    2, types);
		vrx_spi_execute_plan(remove, values, nulls);
		SPI_freeplan(remove);
	}
}

// Fills a new entry of the map with a copy of the text.
static void remember(vrx_query_ids *ids, text_entry *entry, const text *query, int64 id)
{
	entry->query = static_cast<text *>(MemoryContextAlloc(ids->texts_cxt, VARSIZE_ANY(query)));
	memcpy(entry->query, query, VARSIZE_ANY(query));
	entry->key.data = VARDATA_ANY(entry->query);
	entry->id = id;
	entry->hits = 0;
	if (ids->added != nullptr)
		add_to_filter(ids, entry->key);
	ids->max_id = Max(ids->max_id, id);
}

// Forgets the texts once they take more than their memory, but for those
// that records met again since the last time (a quarter of the budget at
// most): a workload's repeated statements stay, its one-off texts go.  New
// query rows are written first; a filter keeps track of which texts the load
// added, so that only those are looked up in the table again.
static void forget_texts_if_full(vrx_query_ids *ids)
{
	if (MemoryContextMemAllocated(ids->texts_cxt, true) <= text_memory())
		return;
	vrx_sink_flush(ids->queries);

	MemoryContext caller = MemoryContextSwitchTo(ids->cxt);
	if (ids->added == nullptr)
		ids->added = static_cast<uint64 *>(
		    MemoryContextAllocZero(ids->cxt, ((FILTER_MASK + 1) / 64) * sizeof(uint64)));
	List *kept = NIL;
	Size kept_bytes = 0;
	HASH_SEQ_STATUS status;
	hash_seq_init(&status, ids->texts);
	text_entry *entry;
	while ((entry = static_cast<text_entry *>(hash_seq_search(&status))) != nullptr)
	{
		add_to_filter(ids, entry->key);
		if (entry->hits == 0 || kept_bytes + VARSIZE_ANY(entry->query) > text_memory() / 4)
			continue;
		text_entry *copy = static_cast<text_entry *>(palloc(sizeof(text_entry)));
		*copy = *entry;
		copy->query = static_cast<text *>(palloc(VARSIZE_ANY(entry->query)));
		memcpy(copy->query, entry->query, VARSIZE_ANY(entry->query));
		kept = lappend(kept, copy);
		kept_bytes += VARSIZE_ANY(entry->query);
	}
	MemoryContextSwitchTo(caller);

	MemoryContextReset(ids->texts_cxt);
	create_map(ids);
	ListCell *lc;
	foreach (lc, kept)
	{
		auto *copy = static_cast<text_entry *>(lfirst(lc));
		copy->key.data = VARDATA_ANY(copy->query);
		bool found;
		auto *entry =
		    static_cast<text_entry *>(hash_search(ids->texts, &copy->key, HASH_ENTER, &found));
		remember(ids, entry, copy->query, copy->id);
		pfree(copy->query);
		pfree(copy);
	}
	list_free(kept);
}

// The id of a text that the query table may hold although memory does not,
// with the text's rows folded onto its smallest id; 0 with *found false for
// a text the table does not hold.
static int64 look_up_text(vrx_query_ids *ids, vrx_row_sink *profiles, const text_key &key,
                          const text *query, bool *found)
{
	*found = false;
	if (!ids->table_had_rows && (ids->added == nullptr || !maybe_in_filter(ids, key)))
		return 0;

	// The buffered query rows need not be written first: their texts are
	// all in memory, since memory is emptied only after they are written.
	int rows = 0;
	int64 min_id = 0;
	scan_rows(ids, ids->by_text, PointerGetDatum(query), TEXTOID, [&](int64 id, bool isnull) {
		if (isnull)
			return true; // a row without id groups nothing
		min_id = rows == 0 ? id : Min(min_id, id);
		rows++;
		return true;
	});
	if (rows > 1)
		fold_text(ids, profiles, query, min_id, true);
	*found = rows > 0;
	return min_id;
}

int64 vrx_query_id(vrx_query_ids *ids, vrx_row_sink *profiles, const text *query,
                   const Datum *params, const bool *nulls, bool has_field_id, int64 field_id)
{
	int64 candidate;
	if (has_field_id)
	{
		candidate = field_id;
		if (field_id >= query_counter)
			query_counter = next_counter(field_id);
	}
	else
	{
		candidate = query_counter;
		query_counter = next_counter(query_counter);
	}

	text_key key = make_key(query);
	bool in_memory;
	auto *entry = static_cast<text_entry *>(hash_search(ids->texts, &key, HASH_ENTER, &in_memory));
	if (in_memory)
		entry->hits++;
	else
	{
		bool in_table;
		int64 id = look_up_text(ids, profiles, key, query, &in_table);
		if (!in_table)
		{
			// A new text: its query row, whose values live with the texts,
			// which are not forgotten before the row is written.
			id = candidate <= ids->max_id && id_taken(ids, candidate) ? fresh_id(ids) : candidate;
			remember(ids, entry, query, id);
			Datum values[4] = {Int64GetDatum(id), PointerGetDatum(entry->query), 0, 0};
			bool row_nulls[4] = {false, false, nulls[0], nulls[1]};
			for (int i = 0; i < 2; i++)
			{
				if (!nulls[i])
					values[2 + i] =
					    PointerGetDatum(MemoryContextAlloc(ids->texts_cxt, VARSIZE_ANY(params[i])));
				if (!nulls[i])
					memcpy(DatumGetPointer(values[2 + i]), DatumGetPointer(params[i]),
					       VARSIZE_ANY(params[i]));
			}
			vrx_sink_add(ids->queries, values, row_nulls);
			const int64 new_id = id;
			forget_texts_if_full(ids);
			return new_id;
		}
		remember(ids, entry, query, id);
	}

	// A text's id is the smallest that its records were given, unless
	// another text has it.
	if (candidate < entry->id && !id_taken(ids, candidate))
	{
		fold_text(ids, profiles, entry->query, candidate, false);
		entry->id = candidate;
	}
	return entry->id;
}
