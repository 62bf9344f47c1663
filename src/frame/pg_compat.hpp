// Every difference between the server releases vireo supports lives here, so
// that adding a release means touching this one file.  Call sites never test
// PG_VERSION_NUM themselves.
#pragma once

#include "frame/pg.hpp"

#if PG_VERSION_NUM < 140000 || PG_VERSION_NUM >= 190000
#error "vireo supports PostgreSQL 14 to 18"
#endif

#if PG_VERSION_NUM >= 150000
extern "C" {
#include "storage/ipc.h"
}
#endif

// From 18 on, ExplainState, NewExplainState and the format codes live in
// explain_state.h, ExplainBeginOutput and ExplainEndOutput in
// explain_format.h; explain.h no longer pulls them in.
#if PG_VERSION_NUM >= 180000
extern "C" {
#include "commands/explain_format.h"
#include "commands/explain_state.h"
}
#endif

namespace vrx_compat {

#if PG_VERSION_NUM >= 150000
// From 15 on, add-in shared memory and lock tranches may only be requested
// from shmem_request_hook; the hook chains to whatever was installed before.
inline shmem_request_hook_type prev_shmem_request_hook = nullptr;
inline void (*shmem_request_fn)(void) = nullptr;

inline void shmem_request_trampoline(void)
{
	if (prev_shmem_request_hook)
		prev_shmem_request_hook();
	shmem_request_fn();
}
#endif

} // namespace vrx_compat

// Arranges for fn to request shared memory at the moment the server allows
// it: at once on 14 (we are inside _PG_init while preloading), through
// shmem_request_hook on 15 and later.
inline void vrx_request_shmem(void (*fn)(void))
{
#if PG_VERSION_NUM >= 150000
	vrx_compat::shmem_request_fn = fn;
	vrx_compat::prev_shmem_request_hook = shmem_request_hook;
	shmem_request_hook = vrx_compat::shmem_request_trampoline;
#else
	fn();
#endif
}

// Undoes vrx_request_shmem at module unload.
inline void vrx_unrequest_shmem(void)
{
#if PG_VERSION_NUM >= 150000
	if (shmem_request_hook == vrx_compat::shmem_request_trampoline)
		shmem_request_hook = vrx_compat::prev_shmem_request_hook;
#endif
}

// Claims the "vireo." settings prefix so that misspelt settings are reported.
inline void vrx_reserve_settings_prefix(const char *prefix)
{
#if PG_VERSION_NUM >= 150000
	MarkGUCPrefixReserved(prefix);
#else
	EmitWarningsOnPlaceholders(prefix);
#endif
}

// DecodeDateTime gained an error-detail argument in 16.
inline int vrx_decode_datetime(char **field, int *ftype, int nf, int *dtype, struct pg_tm *tm,
                               fsec_t *fsec, int *tzp)
{
#if PG_VERSION_NUM >= 160000
	DateTimeErrorExtra extra;
	return DecodeDateTime(field, ftype, nf, dtype, tm, fsec, tzp, &extra);
#else
	return DecodeDateTime(field, ftype, nf, dtype, tm, fsec, tzp);
#endif
}

// The command type written into records: the same number on every release
// (1 select, 2 update, 3 insert, 4 delete, 5 utility, 6 nothing, 7 merge),
// whatever the server's own CmdType numbers are (15 put MERGE at 5).
inline unsigned vrx_command_type(CmdType operation)
{
	switch (operation)
	{
		case CMD_SELECT:
			return 1;
		case CMD_UPDATE:
			return 2;
		case CMD_INSERT:
			return 3;
		case CMD_DELETE:
			return 4;
		case CMD_UTILITY:
			return 5;
		case CMD_NOTHING:
			return 6;
#if PG_VERSION_NUM >= 150000
		case CMD_MERGE:
			return 7;
#endif
		default:
			return 0;
	}
}

// Loading: the executor's index insertion gained an "only summarizing
// indexes" flag in 16, and index scans an instrumentation argument in 18.
extern "C" {
#include "access/genam.h"
}

inline List *vrx_insert_index_tuples(ResultRelInfo *rri, TupleTableSlot *slot, EState *estate)
{
#if PG_VERSION_NUM >= 160000
	return ExecInsertIndexTuples(rri, slot, estate, false, false, nullptr, NIL, false);
#else
	return ExecInsertIndexTuples(rri, slot, estate, false, false, nullptr, NIL);
#endif
}

inline IndexScanDesc vrx_index_beginscan(Relation heap, Relation index, Snapshot snapshot,
                                         int nkeys)
{
#if PG_VERSION_NUM >= 180000
	return index_beginscan(heap, index, snapshot, nullptr, nkeys, 0);
#else
	return index_beginscan(heap, index, snapshot, nkeys, 0);
#endif
}

// The executor run hook and standard_ExecutorRun lost their execute_once
// argument in 18.  vireo's run hook keeps the four arguments of 14 to 17:
// vrx_run_hook<Run> is a function of the server's hook type that calls Run,
// and vrx_run_next hands a run on to the previous hook or the standard
// executor.  On 18 execute_once is passed as true and never read.
using vrx_executor_run_fn = void (*)(QueryDesc *, ScanDirection, uint64, bool);

#if PG_VERSION_NUM >= 180000
template <vrx_executor_run_fn Run>
void vrx_run_hook(QueryDesc *query_desc, ScanDirection direction, uint64 count)
{
	Run(query_desc, direction, count, true);
}

inline void vrx_run_next(ExecutorRun_hook_type prev, QueryDesc *query_desc, ScanDirection direction,
                         uint64 count, bool /* execute_once */)
{
	if (prev)
		prev(query_desc, direction, count);
	else
		standard_ExecutorRun(query_desc, direction, count);
}
#else
template <vrx_executor_run_fn Run>
void vrx_run_hook(QueryDesc *query_desc, ScanDirection direction, uint64 count, bool execute_once)
{
	Run(query_desc, direction, count, execute_once);
}

inline void vrx_run_next(ExecutorRun_hook_type prev, QueryDesc *query_desc, ScanDirection direction,
                         uint64 count, bool execute_once)
{
	if (prev)
		prev(query_desc, direction, count, execute_once);
	else
		standard_ExecutorRun(query_desc, direction, count, execute_once);
}
#endif

// The JSON lexer's constructor took a caller's context (or NULL) first from
// 17 on, and its strings became const; 17 also added freeJsonLexContext.
extern "C" {
#include "common/jsonapi.h"
#include "mb/pg_wchar.h"
}

inline JsonLexContext *vrx_json_lexer(const char *json, int len)
{
#if PG_VERSION_NUM >= 170000
	return makeJsonLexContextCstringLen(nullptr, json, len, GetDatabaseEncoding(), false);
#else
	return makeJsonLexContextCstringLen(const_cast<char *>(json), len, GetDatabaseEncoding(),
	                                    false);
#endif
}

inline void vrx_free_json_lexer(JsonLexContext *lex)
{
#if PG_VERSION_NUM >= 170000
	freeJsonLexContext(lex);
#else
	pfree(lex);
#endif
}

// A random fraction in [0, 1) from the backend's own generator, seeded
// apart in every backend: pg_prng from 15 on, random() on 14 (as auto_explain
// draws its samples on each).
#if PG_VERSION_NUM >= 150000
extern "C" {
#include "common/pg_prng.h"
}
inline double vrx_random_fraction(void)
{
	return pg_prng_double(&pg_global_prng_state);
}
#else
inline double vrx_random_fraction(void)
{
	return static_cast<double>(random()) / (static_cast<double>(MAX_RANDOM_VALUE) + 1.0);
}
#endif
