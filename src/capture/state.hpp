// Per-process capture state shared by the executor hooks, the trace data file
// writer and the loader.  Only the owning process touches it.
#pragma once

#include <sys/resource.h>

#include "frame/pg.hpp"
#include "frame/registry.hpp"

// Why an entry's trace is to end at the next point where ending it is safe:
// a record written where no lock may be taken (quiet_record.hpp) found the
// trace past a limit, or could not be written whole.
enum class vrx_pending_end : uint8
{
	none,
	time_limit,
	size_limit,
	free_space, // the file system has less free space than vireo.min_free_space keeps
	write_failed,
};

// One trace of the registry that this process's database takes part in.
// Allocated in TopMemoryContext so that it outlives statements; valid while
// its slot still holds the trace's generation.  What the hooks need of the
// trace is copied here when the entry is made, so that no statement has to
// look at the registry under its lock.
struct vrx_open_trace
{
	uint32 slot_index;
	int fd;             // this process's data file; -1 until a statement needs it
	uint64 generation;  // the trace's identity in its slot
	TimestampTz start_time;
	TimestampTz end_time; // 0 = no time limit
	int64 max_size;       // bytes; 0 = no limit
	int32 log_min_duration;
	double version;
	vrx_trace_options options;
	int32 plan_min_duration; // records carry the plan from this many ms on; -1: all
	double sample_rate;      // probability that a statement of the client is recorded
	uint32 users_list[VRX_MAX_LIST]; // first 0 ends the list; all 0 = any user
	char trace_id[VRX_TRACE_ID_LEN + 1];
	bool user_matches; // the current user is one the trace follows
	vrx_pending_end pending_end; // nothing more is written into the trace then
	uint64 free_mb, floor_mb;    // for free_space: what was found and what is kept
	vrx_open_trace *next;
};

extern vrx_open_trace *vrx_open_traces; // new entries are appended at the end

// A statement that this process records, from its executor start to its
// executor end.  Allocated in the statement's own executor memory, so that a
// statement abandoned by an error goes away with its memory.
struct vrx_statement
{
	QueryDesc *query_desc;
	vrx_statement *next; // statements that started earlier and are still open
	// The traces that record the statement: the generation of each trace
	// whose users include the user that started it, by slot; 0 elsewhere.
	uint64 generation[VRX_MAX_TRACES];
	uint32 slots; // the slots whose generation is set, a bit each
	// Slots whose running counters the current executor run raised.
	uint32 counted;
	CommandDest start_dest; // its destination at executor start
	bool started_inside;    // started inside a function, not by the client
	bool explain_only;      // a plain EXPLAIN: planned, never run
	bool nested_traces;     // some of its traces record the statements of functions
	// Whether some record of it may carry its plan: its plan nodes were
	// instrumented for that (or it is a plain EXPLAIN).
	bool plan_possible;
	uint32 sampled_slots; // the sample it belongs to (sampling.hpp)
	// Whether some run returned its results to the client or to the calling
	// statement: only then is the statement recorded.
	bool returned;
	// Whether some run returned its results to the function that runs it
	// (through SPI): then the traces that record the statements of
	// functions record it.
	bool returned_nested;
	bool ended;  // its executor end has come
	bool failed; // an error ended it, and its record says so
	uint64 rows;            // rows its runs returned
	TimestampTz start_time; // its own start
	struct rusage rusage_start;
	// What its record needs, kept from its start: a statement that an error
	// or a rollback ends is recorded while the memory of its plan may be
	// gone already (its query descriptor, its text and parameters live in
	// memory that outlasts the executor's).
	Oid user_id; // the user that started it
	CmdType operation;
	const char *source_text;
	int stmt_location;
	int stmt_len;
	const ParamListInfoData *params;
	Instrumentation *totaltime; // in the executor's memory
	// The statement of a SQL-standard function body (BEGIN ATOMIC), which
	// has no source text of its own: the function's name and the
	// statement's position in it, as the server's error context names them.
	char *body_position;
	// Its plan texts, once built (at its executor end, or before a COMMIT or
	// ROLLBACK that will close it), in its executor memory; or, for each
	// form, why there is none.
	bool plans_built;
	char *json_plan;
	char *text_plan;
	const char *json_failure;
	const char *text_failure;
	double plan_duration_ms;
	MemoryContextCallback forget; // unlinks the statement when its memory goes
};

// The slots of generation that hold a trace, a bit each.
inline uint32 vrx_slots_of(const uint64 (&generation)[VRX_MAX_TRACES])
{
	uint32 slots = 0;
	for (int i = 0; i < VRX_MAX_TRACES; i++)
	{
		if (generation[i] != 0)
			slots |= 1u << i;
	}
	return slots;
}

// Calls visit(i) for each slot i of the set slots, lowest first: a
// statement is mostly in one trace of the fifteen.
template <typename Visit> inline void vrx_for_each_slot(uint32 slots, Visit &&visit)
{
	for (; slots != 0; slots &= slots - 1)
		visit(__builtin_ctz(slots));
}

// Whether the trace of entry records st, as far as st's runs tell.
inline bool vrx_records_into(const vrx_statement &st, const vrx_open_trace &entry)
{
	return st.returned || st.explain_only || (st.returned_nested && entry.options.track_nested);
}

// Whether the entry's trace wants the plan in the record of a statement that
// lasted duration_ms (negative: not known yet) and whose plan could be built.
inline bool vrx_wants_plan(const vrx_open_trace &entry, double duration_ms, bool plan_possible)
{
	return plan_possible && (entry.plan_min_duration < 0 || duration_ms < 0 ||
	                         duration_ms >= entry.plan_min_duration);
}

// Whether st returned its results only to the function that ran it: then
// only the traces that record the statements of functions take it.
inline bool vrx_nested_only(const vrx_statement &st)
{
	return !st.returned && !st.explain_only;
}

// Whether some trace may record st.
inline bool vrx_recorded_anywhere(const vrx_statement &st)
{
	return st.returned || st.explain_only || st.returned_nested;
}

extern vrx_statement *vrx_statements; // most recent first

extern TimestampTz statement_start; // start of the current top-level statement
extern int vrx_run_depth;           // executor runs in progress in this process
extern TimestampTz record_end_time; // end time of the last record built
extern bool profiling_allowed;      // false while the module runs its own SQL

// This process's resource usage.  A backend is one thread, so on Linux the
// thread's counters are the process's, and cheaper to read.
inline void vrx_getrusage(struct rusage *usage)
{
#ifdef RUSAGE_THREAD
	getrusage(RUSAGE_THREAD, usage);
#else
	getrusage(RUSAGE_SELF, usage);
#endif
}

// The statement of query_desc, or null when it is not recorded.
inline vrx_statement *vrx_find_statement(const QueryDesc *query_desc)
{
	for (vrx_statement *st = vrx_statements; st != nullptr; st = st->next)
	{
		if (st->query_desc == query_desc)
			return st;
	}
	return nullptr;
}

// The entry of the trace of generation in slot_index, or null when it has
// been dropped.
vrx_open_trace *vrx_find_entry(int slot_index, uint64 generation);

// Closes the entry's file and frees it; the caller has unlinked it.
void vrx_free_open_trace(vrx_open_trace *entry);

// Unlinks the entry from the open trace list and frees it.
void vrx_drop_entry(vrx_open_trace *entry);

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
