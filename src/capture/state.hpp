// Per-process capture state shared by the executor hooks, the trace data file
// writer and the loader.  Only the owning process touches it.
#pragma once

#include <sys/resource.h>

#include "frame/pg.hpp"

// One trace this process records into.  Allocated in TopMemoryContext so that
// it outlives statements; valid while its slot still holds start_time.
struct vrx_open_trace
{
	uint32 slot_index;
	FILE *file;
	TimestampTz start_time;
	vrx_open_trace *next;
};

extern vrx_open_trace *vrx_open_traces; // new entries are appended at the end

extern TimestampTz statement_start; // start of the current statement
extern TimestampTz record_end_time; // end time of the last record built
extern int32 min_log_min_duration;  // -1 until a data file was opened
extern bool explain_json_needed;
extern bool explain_text_needed;
extern bool profiling_allowed; // false while the module runs its own SQL
extern struct rusage vrx_rusage_start;
extern struct rusage vrx_rusage_end;
extern StringInfoData vrx_explain; // EXPLAIN of the current statement
extern double plan_duration_ms;

// Closes the entry's file and frees it; the caller has unlinked it.
void vrx_free_open_trace(vrx_open_trace *entry);

// Closes and frees every entry and forgets the last registry scan, so that
// the next scan starts afresh.
void vrx_close_all_traces(void);

// Runs fn with profiling_allowed cleared, so that the executor hooks do not
// record the module's own statements.  The flag is set again when fn returns
// or raises; errors pass through unchanged.
template <typename Fn> auto vrx_unprofiled(Fn &&fn) -> decltype(fn())
{
	decltype(fn()) result{};
	profiling_allowed = false;
	PG_TRY();
	{
		result = fn();
	}
	PG_CATCH();
	{
		profiling_allowed = true;
		PG_RE_THROW();
	}
	PG_END_TRY();
	profiling_allowed = true;
	return result;
}
