// Executor hooks: at start, decide which traces record the statement and
// switch on instrumentation; around each run, count the statement in and out;
// at end, measure the statement, build its profile record and append it to
// the backend's data file of each trace.  An error that ends the statement
// inside its run or finish passes through unchanged, once the statement's
// failure is recorded (statement_failure.hpp); a statement whose executor
// memory goes without its executor end (a cursor that a rollback closed) is
// recorded as it goes.
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
#include "capture/record_builder.hpp"
#include "capture/record_writer.hpp"
#include "capture/state.hpp"
#include "capture/statement_failure.hpp"
#include "capture/statement_scope.hpp"
#include "capture/statement_text.hpp"
#include "capture/trace_scan.hpp"
#include "frame/hooks.hpp"
#include "frame/pg_compat.hpp"
#include "frame/registry.hpp"
#include "frame/settings.hpp"

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

static void hand_on_finish(QueryDesc *query_desc)
{
	if (vrx_prev_ExecutorFinish)
		vrx_prev_ExecutorFinish(query_desc);
	else
		standard_ExecutorFinish(query_desc);
}

static void hand_on_end(QueryDesc *query_desc)
{
	if (vrx_prev_ExecutorEnd)
		vrx_prev_ExecutorEnd(query_desc);
	else
		standard_ExecutorEnd(query_desc);
}

// The statement's executor memory goes: after its executor end, or without
// it when a rollback or an error closed it, which is recorded now.
static void forget_statement(void *arg)
{
	auto *st = static_cast<vrx_statement *>(arg);
	if (!st->ended)
		vrx_record_closed_statement(st);
	for (vrx_statement **link = &vrx_statements; *link != nullptr; link = &(*link)->next)
	{
		if (*link == st)
		{
			*link = st->next;
			return;
		}
	}
}

// A statement started while another one runs (the body of a function it
// calls, a cursor opened by a function), or that a function runs (a deferred
// trigger's, at COMMIT) starts now, not when the client's statement did.
static TimestampTz own_start(vrx_reach reach)
{
	return vrx_run_depth == 0 && reach != vrx_reach::nested ? statement_start : GetCurrentTimestamp();
}

// Makes the statement's capture state, once its executor state exists.
static void begin_statement(QueryDesc *query_desc, int eflags, vrx_reach reach,
                            const uint64 (&generation)[VRX_MAX_TRACES], bool nested_traces,
                            bool plan_possible)
{
	MemoryContext cxt = query_desc->estate->es_query_cxt;
	if (query_desc->totaltime == nullptr)
	{
		MemoryContext old = MemoryContextSwitchTo(cxt);
		query_desc->totaltime = InstrAlloc(1, INSTRUMENT_ALL, false);
		MemoryContextSwitchTo(old);
	}

	auto *st = static_cast<vrx_statement *>(MemoryContextAlloc(cxt, sizeof(vrx_statement)));
	memset(st, 0, sizeof(*st)); // the compiler's memset: a statement is some 500 bytes
	st->query_desc = query_desc;
	memcpy(st->generation, generation, sizeof(generation));
	st->slots = vrx_slots_of(generation);
	st->start_dest = query_desc->dest->mydest;
	st->started_inside = vrx_inside_function() || reach == vrx_reach::nested;
	st->explain_only = (eflags & EXEC_FLAG_EXPLAIN_ONLY) != 0;
	st->nested_traces = nested_traces;
	st->plan_possible = plan_possible;
	st->sampled_slots = vrx_sampled_slots;
	st->user_id = GetUserId();
	st->operation = query_desc->operation;
	st->source_text = query_desc->sourceText;
	st->stmt_location = query_desc->plannedstmt->stmt_location;
	st->stmt_len = query_desc->plannedstmt->stmt_len;
	st->params = query_desc->params;
	st->totaltime = query_desc->totaltime;
	st->start_time = own_start(reach);
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

// The executor start of a statement that traces record: an error there (a
// permission refused on a table) ends the statement before it ran.
static void start_watched(QueryDesc *query_desc, int eflags, vrx_reach reach,
                          const uint64 (&generation)[VRX_MAX_TRACES])
{
	const Oid user_id = GetUserId();
	PG_TRY();
	{
		hand_on_start(query_desc, eflags);
	}
	PG_CATCH();
	{
		const PlannedStmt *stmt = query_desc->plannedstmt;
		vrx_record_failed_start(
		    generation, own_start(reach), user_id, query_desc->operation,
		    vrx_statement_text(query_desc->sourceText, stmt->stmt_location, stmt->stmt_len, nullptr),
		    query_desc->params);
		PG_RE_THROW();
	}
	PG_END_TRY();
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
	bool plans = false;
	bool nested_traces = false;
	bool record = false;
	vrx_reach reach = vrx_reach::none;
	if (!vireo_enabled)
	{
		if (vrx_open_traces != nullptr)
			vrx_close_all_traces();
	}
	else
	{
		vrx_scan_registry();
		if (vrx_pending_ends)
			vrx_settle_pending_ends();
		if (vrx_open_traces != nullptr)
		{
			reach = vrx_statement_reach(query_desc);
			// A statement of the client draws its sample; the statements it
			// runs belong to its sample.
			if (vrx_sampling && reach == vrx_reach::client && !vrx_inside_function())
				vrx_draw_sample();
		}
		record = reach != vrx_reach::none && vrx_user_is_traced() &&
		         vrx_select_traces(
		             generation, [reach](const vrx_open_trace &e) { return vrx_trace_follows(e, reach); },
		             [&](const vrx_open_trace &e) {
			             if (vrx_plan_in_reach(e))
			             {
				             plans = true;
				             timing = timing || e.options.explain_timing;
			             }
			             nested_traces = nested_traces || e.options.track_nested;
		             });
		// For a plan: actual rows and buffers on every plan node; per-node
		// times unless every trace that may want the plan was started
		// without them.  Without a plan, the statement's own timing is all
		// its records need.
		if (record && plans && (eflags & EXEC_FLAG_EXPLAIN_ONLY) == 0)
			query_desc->instrument_options |=
			    INSTRUMENT_ROWS | INSTRUMENT_BUFFERS | (timing ? INSTRUMENT_TIMER : 0);
	}
	if (!record)
	{
		hand_on_start(query_desc, eflags);
		return;
	}
	start_watched(query_desc, eflags, reach, generation);
	begin_statement(query_desc, eflags, reach, generation, nested_traces, plans);
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
	vrx_for_each_slot(st->slots, [&](int i) {
		if (vrx_counter_add(&registry->live[i].running, VRX_RUNNING_TAG_SHIFT, st->generation[i], 1,
		                    &value))
			st->counted |= 1u << i;
	});
}

// Takes back what count_in raised.  Lock-free, so that it is safe on an
// error path whatever locks this backend holds.
static void count_out(vrx_statement *st)
{
	vrx_trace_registry *registry = vrx_shared_config;
	uint64 value;

	vrx_for_each_slot(st->counted, [&](int i) {
		(void) vrx_counter_add(&registry->live[i].running, VRX_RUNNING_TAG_SHIFT, st->generation[i],
		                       -1, &value);
	});
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
		else if (results == vrx_run_results::returned_nested)
		{
			st->returned_nested = true;
			count_in(st);
		}
	}
	// The statements that this run starts belong to the statement's sample.
	const uint32 sample = vrx_sampled_slots;
	if (st != nullptr)
		vrx_sampled_slots = st->sampled_slots;
	vrx_run_depth = depth + 1;
	PG_TRY();
	{
		hand_on_run(query_desc, direction, count, execute_once);
	}
	PG_CATCH();
	{
		vrx_run_depth = depth;
		vrx_sampled_slots = sample;
		if (st != nullptr)
		{
			count_out(st);
			const bool rows = results == vrx_run_results::returned ||
			                  results == vrx_run_results::returned_nested;
			vrx_record_failed_statement(st, rows ? query_desc->estate->es_processed : 0);
		}
		PG_RE_THROW();
	}
	PG_END_TRY();
	vrx_run_depth = depth;
	vrx_sampled_slots = sample;
	if (st != nullptr)
	{
		count_out(st);
		if (results == vrx_run_results::returned || results == vrx_run_results::returned_nested)
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

// The executor's finish (AFTER triggers, constraints checked at the
// statement's end) counts as part of its run: statements that triggers run
// start inside it, and an error there ends the statement.
static void finish_counted(vrx_statement *st, QueryDesc *query_desc)
{
	const int depth = vrx_run_depth;
	const uint32 sample = vrx_sampled_slots;
	if (st != nullptr)
		vrx_sampled_slots = st->sampled_slots;
	vrx_run_depth = depth + 1;
	PG_TRY();
	{
		hand_on_finish(query_desc);
	}
	PG_CATCH();
	{
		vrx_run_depth = depth;
		vrx_sampled_slots = sample;
		if (st != nullptr)
			vrx_record_failed_statement(st, 0);
		PG_RE_THROW();
	}
	PG_END_TRY();
	vrx_run_depth = depth;
	vrx_sampled_slots = sample;
}

void vrx_ExecutorFinish(QueryDesc *query_desc)
{
	if (vrx_open_traces == nullptr && vrx_statements == nullptr)
		hand_on_finish(query_desc);
	else
		finish_counted(vrx_statements != nullptr ? vrx_find_statement(query_desc) : nullptr,
		               query_desc);
}

// Appends the built records to this backend's data files of the traces that
// record the statement (nested_only: only those that record the statements
// of functions), and ends traces at their time, size and free-space limits.
// Runs after the standard executor end, without the registry lock.
static void write_records(const uint64 (&generation)[VRX_MAX_TRACES],
                          const StringInfoData &json_record, const StringInfoData &text_record,
                          const StringInfoData &bare_record, double duration_ms, bool nested_only,
                          bool plan_possible)
{
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
		if (nested_only && !entry->options.track_nested)
			continue;
		const StringInfoData &record = !vrx_wants_plan(*entry, duration_ms, plan_possible) ? bare_record
		                               : entry->version == VRX_VERSION_JSON           ? json_record
		                                                                              : text_record;
		vrx_space_claim claim;
		if (!vrx_trace_takes_record(entry, record_end_time, duration_ms) || record.data == nullptr ||
		    !vrx_claim_record_space(entry, static_cast<size_t>(record.len), &claim))
			continue;
		const bool whole = vrx_write_record(entry, record);
		vrx_release_free_space(claim);
		vrx_record_written(entry, static_cast<size_t>(record.len), whole);
	}
	if (vrx_pending_ends)
		vrx_settle_pending_ends();
}

void vrx_ExecutorEnd(QueryDesc *query_desc)
{
	vrx_statement *st = vrx_statements != nullptr ? vrx_find_statement(query_desc) : nullptr;
	if (st != nullptr)
		st->ended = true;
	// A statement whose failure is recorded (whose caller ends it all the
	// same) is recorded once.
	if (st == nullptr || st->failed)
	{
		hand_on_end(query_desc);
		if (!vireo_enabled && vrx_open_traces != nullptr)
			vrx_close_all_traces();
		return;
	}

	StringInfoData json_record = {};
	StringInfoData text_record = {};
	StringInfoData bare_record = {};
	double duration_ms = 0.0;
	uint64 generation[VRX_MAX_TRACES];
	memcpy(generation, st->generation, sizeof(generation));
	const bool nested_only = vrx_nested_only(*st);
	const bool plan_possible = st->plan_possible;
	const vrx_work_scope scope = vrx_current_scope();
	// What the records need beyond the plans lives here until they are
	// written: a function's statement ends inside its caller, whose memory
	// would keep it until the caller ends.
	MemoryContext record_cxt = nullptr;

	if (query_desc->totaltime != nullptr && profiling_allowed && vireo_enabled &&
	    vrx_recorded_anywhere(*st))
	{
		InstrEndLoop(query_desc->totaltime);
		duration_ms = query_desc->totaltime->total * 1000.0;

		// Each form once, if some trace wants the statement in that form.
		const vrx_wanted_records wanted = vrx_wanted_formats(*st, duration_ms);
		if (wanted.any())
		{
			vrx_work_window window(scope);
			record_cxt = AllocSetContextCreate(CurrentMemoryContext, "vireo record",
			                                   ALLOCSET_DEFAULT_SIZES);
			MemoryContext old = MemoryContextSwitchTo(record_cxt);
			vrx_build_records(query_desc, st, wanted, window, &json_record, &text_record,
			                  &bare_record);
			MemoryContextSwitchTo(old);
			window.close();
		}
	}

	// The statement's capture state goes with its executor memory here.
	hand_on_end(query_desc);

	if (json_record.data != nullptr || text_record.data != nullptr || bare_record.data != nullptr)
		write_records(generation, json_record, text_record, bare_record, duration_ms, nested_only,
		              plan_possible);
	else if (!vireo_enabled && vrx_open_traces != nullptr)
		vrx_close_all_traces();

	if (record_cxt != nullptr)
		MemoryContextDelete(record_cxt);
}
