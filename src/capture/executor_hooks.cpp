// Executor hooks: at start, decide which traces record the statement and
// switch on instrumentation; around each run, count the statement in and out;
// at end, measure the statement, build its profile record and append it to
// the backend's data file of each trace.
//
// Nothing here takes the registry lock for a statement unless the registry
// changed: the change count, the running counters and the size counters are
// read and updated lock-free, and records are written outside the lock.
//
// Which statements can be recorded at all is decided once, at executor
// start (statement_scope.hpp); the others run as if the module were absent.
// Parallel workers record nothing: the leader's record covers the whole
// statement (its plan includes the workers' nodes, and their buffer usage is
// added to the leader's counters when they finish).
#include "capture/executor_hooks.hpp"

#include "capture/data_file.hpp"
#include "capture/free_space.hpp"
#include "capture/record_builder.hpp"
#include "capture/state.hpp"
#include "capture/statement_scope.hpp"
#include "capture/statement_text.hpp"
#include "capture/trace_scan.hpp"
#include "frame/hooks.hpp"
#include "frame/pg_compat.hpp"
#include "frame/registry.hpp"
#include "frame/settings.hpp"
#include "store/descriptor.hpp"
#include "store/paths.hpp"

static void hand_on_start(QueryDesc *query_desc, int eflags)
{
	if (vrx_prev_ExecutorStart)
		vrx_prev_ExecutorStart(query_desc, eflags);
	else
		standard_ExecutorStart(query_desc, eflags);
}

static void hand_on_run(QueryDesc *query_desc, ScanDirection direction, uint64 count,
                        bool execute_once)
{
	vrx_run_next(vrx_prev_ExecutorRun, query_desc, direction, count, execute_once);
}

static void hand_on_end(QueryDesc *query_desc)
{
	if (vrx_prev_ExecutorEnd)
		vrx_prev_ExecutorEnd(query_desc);
	else
		standard_ExecutorEnd(query_desc);
}

static void forget_statement(void *arg)
{
	auto *st = static_cast<vrx_statement *>(arg);
	for (vrx_statement **link = &vrx_statements; *link != nullptr; link = &(*link)->next)
	{
		if (*link == st)
		{
			*link = st->next;
			return;
		}
	}
}

// The traces that record a statement the current user starts: their data
// files are opened now if need be.  False when there is none.
static bool select_traces(uint64 (&generation)[VRX_MAX_TRACES], bool *timing)
{
	bool any = false;

	*timing = false;
	for (vrx_open_trace *entry = vrx_open_traces; entry != nullptr;)
	{
		vrx_open_trace *next = entry->next;
		if (entry->user_matches)
		{
			if (entry->fd < 0 && !vrx_open_trace_files(entry))
				vrx_drop_entry(entry);
			else
			{
				generation[entry->slot_index] = entry->generation;
				*timing = *timing || entry->explain_timing;
				any = true;
			}
		}
		entry = next;
	}
	return any;
}

// Makes the statement's capture state, once its executor state exists.
static void begin_statement(QueryDesc *query_desc, int eflags,
                            const uint64 (&generation)[VRX_MAX_TRACES])
{
	MemoryContext cxt = query_desc->estate->es_query_cxt;
	if (query_desc->totaltime == nullptr)
	{
		MemoryContext old = MemoryContextSwitchTo(cxt);
		query_desc->totaltime = InstrAlloc(1, INSTRUMENT_ALL, false);
		MemoryContextSwitchTo(old);
	}

	auto *st = static_cast<vrx_statement *>(MemoryContextAllocZero(cxt, sizeof(vrx_statement)));
	st->query_desc = query_desc;
	memcpy(st->generation, generation, sizeof(generation));
	st->start_dest = query_desc->dest->mydest;
	st->started_inside = vrx_inside_function();
	st->explain_only = (eflags & EXEC_FLAG_EXPLAIN_ONLY) != 0;
	// A statement started while another one runs (the body of a function it
	// calls, a cursor opened by a function) starts now, not when the client's
	// statement did.
	st->start_time = vrx_run_depth == 0 ? statement_start : GetCurrentTimestamp();
	MemoryContext old = MemoryContextSwitchTo(cxt);
	st->body_position = vrx_body_position(query_desc);
	MemoryContextSwitchTo(old);
	st->forget.func = forget_statement;
	st->forget.arg = st;
	MemoryContextRegisterResetCallback(cxt, &st->forget);
	st->next = vrx_statements;
	vrx_statements = st;
	vrx_getrusage(&st->rusage_start);
}

void vrx_ExecutorStart(QueryDesc *query_desc, int eflags)
{
	if (IsParallelWorker())
	{
		hand_on_start(query_desc, eflags);
		return;
	}

	statement_start = GetCurrentStatementStartTimestamp();

	if (vrx_shared_config == nullptr)
	{
		in_attach = true;
		vrx_shmem_startup();
		in_attach = false;
	}

	// With recording switched off, close what is open and do not look at the
	// registry at all.
	uint64 generation[VRX_MAX_TRACES] = {};
	bool timing = false;
	bool record = false;
	if (!vireo_enabled)
	{
		if (vrx_open_traces != nullptr)
			vrx_close_all_traces();
	}
	else
	{
		vrx_scan_registry();
		record = vrx_open_traces != nullptr && vrx_statement_recordable(query_desc) &&
		         vrx_user_is_traced() && select_traces(generation, &timing);
		// Actual rows and buffers on every plan node; per-node times unless
		// every trace of the statement was started without them.
		if (record && (eflags & EXEC_FLAG_EXPLAIN_ONLY) == 0)
			query_desc->instrument_options |=
			    INSTRUMENT_ROWS | INSTRUMENT_BUFFERS | (timing ? INSTRUMENT_TIMER : 0);
	}
	hand_on_start(query_desc, eflags);

	if (record)
		begin_statement(query_desc, eflags, generation);
}

static void count_out(vrx_statement *st);

// A backend that ends inside an executor run (FATAL: terminated, the client
// lost) never comes back to count its statements out: this does, before the
// server's own exit processing frees their memory.
static void count_out_at_exit(int, Datum)
{
	for (vrx_statement *st = vrx_statements; st != nullptr; st = st->next)
	{
		if (st->counted != 0)
			count_out(st);
	}
}

// Raises the running counters of the statement's traces for one executor
// run; a trace that has ended meanwhile is not counted.
static void count_in(vrx_statement *st)
{
	static bool exit_callback_registered = false;
	vrx_trace_registry *registry = vrx_shared_config;
	uint64 value;

	if (!exit_callback_registered)
	{
		before_shmem_exit(count_out_at_exit, 0);
		exit_callback_registered = true;
	}

	st->counted = 0;
	for (int i = 0; i < VRX_MAX_TRACES; i++)
	{
		if (st->generation[i] != 0 && vrx_counter_add(&registry->live[i].running,
		                                              VRX_RUNNING_TAG_SHIFT, st->generation[i],
		                                              1, &value))
			st->counted |= 1u << i;
	}
}

// Takes back what count_in raised.  Lock-free, so that it is safe on an
// error path whatever locks this backend holds.
static void count_out(vrx_statement *st)
{
	vrx_trace_registry *registry = vrx_shared_config;
	uint64 value;

	for (int i = 0; i < VRX_MAX_TRACES; i++)
	{
		if (st->counted & (1u << i))
			(void) vrx_counter_add(&registry->live[i].running, VRX_RUNNING_TAG_SHIFT,
			                       st->generation[i], -1, &value);
	}
	st->counted = 0;
}

// One executor run, counted in the depth of runs.  A run of a statement that
// can be recorded whose results are returned (to the client, or to the
// statement that called a function) is counted in its traces' running
// counters and adds its rows to the statement's (a cursor's rows are those of
// all its FETCHes); so is a run of the client's cursor that returns no rows
// (a MOVE, the storing of a cursor WITH HOLD), without rows.  A run whose
// results go elsewhere (a function's FOR loop over a query, through SPI)
// does neither.
static void run_counted(vrx_statement *st, QueryDesc *query_desc, ScanDirection direction,
                        uint64 count, bool execute_once)
{
	const int depth = vrx_run_depth;
	volatile vrx_run_results results = vrx_run_results::elsewhere;

	if (st != nullptr)
	{
		results = vrx_classify_run(*st, query_desc->dest);
		if (results == vrx_run_results::returned ||
		    (results == vrx_run_results::withheld && !st->started_inside))
		{
			st->returned = true;
			count_in(st);
		}
	}
	vrx_run_depth = depth + 1;
	PG_TRY();
	{
		hand_on_run(query_desc, direction, count, execute_once);
	}
	PG_CATCH();
	{
		vrx_run_depth = depth;
		if (st != nullptr)
			count_out(st);
		PG_RE_THROW();
	}
	PG_END_TRY();
	vrx_run_depth = depth;
	if (st != nullptr)
	{
		count_out(st);
		if (results == vrx_run_results::returned)
			st->rows += query_desc->estate->es_processed;
	}
}

void vrx_ExecutorRun(QueryDesc *query_desc, ScanDirection direction, uint64 count,
                     bool execute_once)
{
	// Without a trace in this backend nothing is counted, not even the depth.
	if (vrx_open_traces == nullptr && vrx_statements == nullptr)
		hand_on_run(query_desc, direction, count, execute_once);
	else
		run_counted(vrx_statements != nullptr ? vrx_find_statement(query_desc) : nullptr,
		            query_desc, direction, count, execute_once);
}

// Appends the built records to this backend's data files of the traces that
// record the statement, and ends traces at their time, size and free-space
// limits.  Runs after the standard executor end, without the registry lock:
// the size counter tells exactly one backend that it took a trace past its
// limit, and the free-space budget is shared by all backends.
static void write_records(const uint64 (&generation)[VRX_MAX_TRACES],
                          const StringInfoData &json_record, const StringInfoData &text_record,
                          double duration_ms)
{
	vrx_trace_registry *registry = vrx_shared_config;

	for (int i = 0; i < VRX_MAX_TRACES; i++)
	{
		if (generation[i] == 0)
			continue;
		vrx_open_trace *entry = vrx_find_entry(i, generation[i]);
		if (entry == nullptr)
			continue;

		// A slot that no longer holds this trace must not be touched: it is
		// free or belongs to another trace now.
		if (vrx_slot_generation(i) != entry->generation)
		{
			vrx_drop_entry(entry);
			continue;
		}
		if (entry->end_time != 0 && entry->end_time < record_end_time)
		{
			vrx_end_trace_from_hook(entry, VRX_STATUS_TIME_LIMIT);
			continue;
		}

		const StringInfoData &record = entry->version == VRX_VERSION_JSON ? json_record : text_record;
		if (duration_ms < entry->log_min_duration || record.data == nullptr)
			continue;

		vrx_space_claim claim;
		if (!vrx_claim_free_space(static_cast<size_t>(record.len), &claim))
		{
			ereport(LOG, (errmsg("vireo: the trace %s ended: " UINT64_FORMAT
			                     " MB left on the file system of \"%s\", vireo.min_free_space keeps " UINT64_FORMAT " MB",
			                     entry->trace_id, claim.free_mb, vrx_traces_root(), claim.floor_mb)));
			vrx_end_trace_from_hook(entry, VRX_STATUS_SIZE_LIMIT);
			continue;
		}

		const bool written = vrx_write_record(entry, record);
		vrx_release_free_space(claim);
		if (!written)
		{
			ereport(LOG, (errmsg("vireo: Couldn't write to the trace file '%s/%s/trace-%d.csv'.",
			                     vrx_traces_root(), entry->trace_id, MyProcPid)));
			vrx_abandon_trace(entry);
			continue;
		}

		// Every trace counts what it holds; one with a size limit ends with
		// the record that reaches it.
		uint64 size;
		if (vrx_counter_add(&registry->live[i].log_size, VRX_LOG_SIZE_TAG_SHIFT,
		                    entry->generation, record.len, &size) &&
		    entry->max_size != 0 && size >= static_cast<uint64>(entry->max_size) &&
		    size - static_cast<uint64>(record.len) < static_cast<uint64>(entry->max_size))
			vrx_end_trace_from_hook(entry, VRX_STATUS_SIZE_LIMIT);
	}
}

void vrx_ExecutorEnd(QueryDesc *query_desc)
{
	vrx_statement *st = vrx_statements != nullptr ? vrx_find_statement(query_desc) : nullptr;
	if (st == nullptr)
	{
		hand_on_end(query_desc);
		if (!vireo_enabled && vrx_open_traces != nullptr)
			vrx_close_all_traces();
		return;
	}

	StringInfoData json_record = {};
	StringInfoData text_record = {};
	double duration_ms = 0.0;
	uint64 generation[VRX_MAX_TRACES];
	memcpy(generation, st->generation, sizeof(generation));
	const vrx_work_scope scope = vrx_current_scope();
	// What the records need beyond the plans lives here until they are
	// written: a function's statement ends inside its caller, whose memory
	// would keep it until the caller ends.
	MemoryContext record_cxt = nullptr;

	if (query_desc->totaltime != nullptr && profiling_allowed && vireo_enabled &&
	    (st->returned || st->explain_only))
	{
		InstrEndLoop(query_desc->totaltime);
		duration_ms = query_desc->totaltime->total * 1000.0;

		// Each format once, if some trace of that format wants the statement.
		bool want_json, want_text;
		vrx_wanted_formats(*st, duration_ms, &want_json, &want_text);
		if (want_json || want_text)
		{
			vrx_work_window window(scope);
			record_cxt = AllocSetContextCreate(CurrentMemoryContext, "vireo record",
			                                   ALLOCSET_DEFAULT_SIZES);
			MemoryContext old = MemoryContextSwitchTo(record_cxt);
			vrx_build_records(query_desc, st, want_json, want_text, window, &json_record,
			                  &text_record);
			MemoryContextSwitchTo(old);
			window.close();
		}
	}

	// The statement's capture state goes with its executor memory here.
	hand_on_end(query_desc);

	if (json_record.data != nullptr || text_record.data != nullptr)
		write_records(generation, json_record, text_record, duration_ms);
	else if (!vireo_enabled && vrx_open_traces != nullptr)
		vrx_close_all_traces();

	if (record_cxt != nullptr)
		MemoryContextDelete(record_cxt);
}
