// Executor hooks: at start, decide which active traces this backend records
// into and switch on instrumentation; around each run, count the statement
// in and out; at end, measure the statement, build its profile record and
// append it to the backend's data file of each trace.
//
// Parallel workers record nothing: the leader's record covers the whole
// statement (its plan includes the workers' nodes, and their buffer usage is
// added to the leader's counters when they finish).
#include "capture/executor_hooks.hpp"

#include "capture/data_file.hpp"
#include "capture/state.hpp"
#include "frame/hooks.hpp"
#include "frame/pg_compat.hpp"
#include "frame/registry.hpp"
#include "frame/settings.hpp"
#include "store/descriptor.hpp"
#include "store/paths.hpp"

int32 seen_activation_seq = -1;
int64 seen_last_change = 0;

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

// Unlinks entry (whose predecessor is prev, or none) from the open trace list
// and frees it; returns the entry that followed it.
static vrx_open_trace *drop_entry(vrx_open_trace *prev, vrx_open_trace *entry)
{
	vrx_open_trace *next = entry->next;
	if (prev != nullptr)
		prev->next = next;
	else
		vrx_open_traces = next;
	vrx_free_open_trace(entry);
	return next;
}

static bool list_matches(const uint32 *list, uint32 value)
{
	if (list[0] == 0)
		return true;
	for (int i = 0; i < VRX_MAX_LIST && list[i] != 0; i++)
	{
		if (list[i] == value)
			return true;
	}
	return false;
}

static bool has_entry_for_slot(int slot_index)
{
	for (vrx_open_trace *e = vrx_open_traces; e != nullptr; e = e->next)
	{
		if (e->slot_index == static_cast<uint32>(slot_index))
			return true;
	}
	return false;
}

// Brings the open trace list in line with the registry when its change
// signature moved since the last look: drops entries of ended traces, ends
// traces whose time limit passed, and opens data files of new traces that
// match this session's user and database.
static void scan_registry(void)
{
	vrx_trace_registry *registry = vrx_shared_config;
	bool handled[VRX_MAX_TRACES] = {};
	bool expired[VRX_MAX_TRACES] = {};
	bool any_expired = false;

	// The change signature is looked at without the lock first, so that an
	// idle server costs no shared cache-line traffic per statement.  Both
	// fields are naturally aligned and read whole; a change made at this very
	// moment is seen at the next statement start, as it would be had this
	// statement started a moment earlier.  Any change is confirmed under the
	// lock below.
	const volatile vrx_trace_registry *peek = registry;
	if (peek->activation_seq == seen_activation_seq && peek->last_change == seen_last_change)
		return;

	LWLockAcquire(registry->lock, LW_SHARED);
	if (registry->activation_seq == seen_activation_seq &&
	    registry->last_change == seen_last_change)
	{
		LWLockRelease(registry->lock);
		return;
	}

	vrx_open_trace *prev = nullptr;
	for (vrx_open_trace *entry = vrx_open_traces; entry != nullptr;)
	{
		const vrx_trace_slot &slot = registry->slots[entry->slot_index];
		if (slot.start_time != entry->start_time)
		{
			if (slot.start_time == 0)
				handled[entry->slot_index] = true;
			entry = drop_entry(prev, entry);
			continue;
		}
		handled[entry->slot_index] = true;
		if (slot.end_time != 0 && slot.end_time < statement_start)
		{
			expired[entry->slot_index] = true;
			any_expired = true;
		}
		prev = entry;
		entry = entry->next;
	}

	// Ending a trace changes the registry, so it needs the lock exclusively;
	// the slot may have changed while the lock was free, hence the re-check.
	if (any_expired)
	{
		LWLockRelease(registry->lock);
		LWLockAcquire(registry->lock, LW_EXCLUSIVE);
		prev = nullptr;
		for (vrx_open_trace *entry = vrx_open_traces; entry != nullptr;)
		{
			vrx_trace_slot &slot = registry->slots[entry->slot_index];
			if (!expired[entry->slot_index])
			{
				prev = entry;
				entry = entry->next;
				continue;
			}
			if (slot.start_time == entry->start_time && slot.end_time != 0 &&
			    slot.end_time < statement_start)
				vrx_save_trace(&slot, nullptr, VRX_STATUS_TIME_LIMIT);
			entry = drop_entry(prev, entry);
		}
	}

	if (registry->active_count != 0)
	{
		Oid user = GetUserId();
		for (int i = 0; i < VRX_MAX_TRACES; i++)
		{
			const vrx_trace_slot &slot = registry->slots[i];
			if (handled[i] || slot.start_time == 0 || has_entry_for_slot(i))
				continue;
			if (!list_matches(slot.users_list, user) ||
			    !list_matches(slot.database_list, MyDatabaseId))
				continue;

			auto *entry = static_cast<vrx_open_trace *>(
			    MemoryContextAllocZero(TopMemoryContext, sizeof(vrx_open_trace)));
			entry->slot_index = i;
			entry->start_time = slot.start_time;
			if (!vrx_open_trace_files(entry))
			{
				pfree(entry);
				continue;
			}
			vrx_open_trace **tail = &vrx_open_traces;
			while (*tail != nullptr)
				tail = &(*tail)->next;
			*tail = entry;
		}
	}

	seen_activation_seq = registry->activation_seq;
	seen_last_change = registry->last_change;
	LWLockRelease(registry->lock);
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
	// registry at all: a scan would create empty data files.
	if (!vireo_enabled)
	{
		if (vrx_open_traces != nullptr)
			vrx_close_all_traces();
	}
	else
	{
		scan_registry();
		if (vrx_open_traces != nullptr && profiling_allowed && min_log_min_duration >= 0 &&
		    (eflags & EXEC_FLAG_EXPLAIN_ONLY) == 0)
			query_desc->instrument_options |= INSTRUMENT_TIMER | INSTRUMENT_BUFFERS;
	}

	hand_on_start(query_desc, eflags);

	if (vrx_open_traces == nullptr || !profiling_allowed)
		return;
	if (query_desc->totaltime == nullptr)
	{
		MemoryContext old = MemoryContextSwitchTo(query_desc->estate->es_query_cxt);
		query_desc->totaltime = InstrAlloc(1, INSTRUMENT_ALL, false);
		MemoryContextSwitchTo(old);
	}
	getrusage(RUSAGE_SELF, &vrx_rusage_start);
}

// Start times of the slots whose running_queries one executor run raised;
// 0 where it raised nothing.
struct counted_slots
{
	TimestampTz start_time[VRX_MAX_TRACES];
};

static void count_in(counted_slots &counted)
{
	vrx_trace_registry *registry = vrx_shared_config;

	LWLockAcquire(registry->lock, LW_EXCLUSIVE);
	for (vrx_open_trace *e = vrx_open_traces; e != nullptr; e = e->next)
	{
		vrx_trace_slot &slot = registry->slots[e->slot_index];
		if (slot.start_time == e->start_time)
		{
			slot.running_queries++;
			counted.start_time[e->slot_index] = slot.start_time;
		}
	}
	LWLockRelease(registry->lock);
}

// Takes back what count_in raised, for the traces still in their slots, and
// drops entries whose trace has ended meanwhile.
static void count_out(const counted_slots &counted)
{
	vrx_trace_registry *registry = vrx_shared_config;

	LWLockAcquire(registry->lock, LW_EXCLUSIVE);
	for (int i = 0; i < VRX_MAX_TRACES; i++)
	{
		vrx_trace_slot &slot = registry->slots[i];
		if (counted.start_time[i] != 0 && slot.start_time == counted.start_time[i])
			slot.running_queries--;
	}
	vrx_open_trace *prev = nullptr;
	for (vrx_open_trace *e = vrx_open_traces; e != nullptr;)
	{
		if (registry->slots[e->slot_index].start_time != e->start_time)
		{
			e = drop_entry(prev, e);
			continue;
		}
		prev = e;
		e = e->next;
	}
	LWLockRelease(registry->lock);
}

void vrx_ExecutorRun(QueryDesc *query_desc, ScanDirection direction, uint64 count,
                     bool execute_once)
{
	counted_slots counted = {};
	const bool counting = !IsParallelWorker() && profiling_allowed && min_log_min_duration >= 0 &&
	                      vrx_open_traces != nullptr;

	if (counting)
		count_in(counted);

	PG_TRY();
	{
		hand_on_run(query_desc, direction, count, execute_once);
	}
	PG_CATCH();
	{
		if (counting)
			count_out(counted);
		PG_RE_THROW();
	}
	PG_END_TRY();

	if (counting)
		count_out(counted);
}

// Results going to SPI (statements that functions run), COPY TO output or
// the filling of a materialized view are not recorded.
static bool destination_recorded(const QueryDesc *query_desc)
{
	if (query_desc->dest == nullptr)
		return false;
	switch (query_desc->dest->mydest)
	{
		case DestSPI:
		case DestCopyOut:
		case DestTransientRel:
			return false;
		default:
			return true;
	}
}

// Produces the statement's EXPLAIN in the given format into vrx_explain and
// the top plan node's duration into plan_duration_ms.  Runs before the
// standard executor end, while the plan state still exists; the text lives in
// the query's memory context.
static void build_explain(QueryDesc *query_desc, ExplainFormat format)
{
	MemoryContext old = MemoryContextSwitchTo(query_desc->estate->es_query_cxt);
	ExplainState *es = NewExplainState();
	const bool instrumented = query_desc->instrument_options != 0;

	es->verbose = false;
	es->analyze = instrumented;
	es->buffers = instrumented;
	es->timing = instrumented;
	es->format = format;

	ExplainBeginOutput(es);
	ExplainPrintPlan(es, query_desc);
	ExplainPrintTriggers(es, query_desc);
	ExplainEndOutput(es);
	MemoryContextSwitchTo(old);

	StringInfo str = es->str;
	// The JSON output is an array holding the plan's properties; turn it into
	// one object.
	if (format == EXPLAIN_FORMAT_JSON && str->len > 0)
	{
		str->data[0] = '{';
		str->data[str->len - 1] = '}';
	}
	if (str->len > 0 && str->data[str->len - 1] == '\n')
		str->data[--str->len] = '\0';
	vrx_explain = *str;

	plan_duration_ms = 0.0;
	Instrumentation *instr = query_desc->planstate ? query_desc->planstate->instrument : nullptr;
	if (instr != nullptr)
	{
		InstrEndLoop(instr);
		if (instr->nloops > 0)
			plan_duration_ms = instr->total / instr->nloops * 1000.0;
	}
}

static void build_record(StringInfo record, QueryDesc *query_desc, ExplainFormat format)
{
	build_explain(query_desc, format);
	write_csv_profiler(record, query_desc);
	vrx_explain = StringInfoData{};
}

// Appends the built records to this backend's data files, under the registry
// lock held exclusively so that writes and size accounting of all backends
// are serialised; ends traces at their size and time limits.
static void write_records(const StringInfoData &json_record, const StringInfoData &text_record,
                          double duration_ms)
{
	vrx_trace_registry *registry = vrx_shared_config;

	LWLockAcquire(registry->lock, LW_EXCLUSIVE);
	vrx_open_trace *prev = nullptr;
	for (vrx_open_trace *entry = vrx_open_traces; entry != nullptr;)
	{
		vrx_trace_slot &slot = registry->slots[entry->slot_index];

		// A slot that no longer holds this trace must not be touched: it is
		// free or belongs to another trace now.
		if (slot.start_time != entry->start_time)
		{
			entry = drop_entry(prev, entry);
			continue;
		}
		if (slot.end_time != 0 && slot.end_time < record_end_time)
		{
			vrx_save_trace(&slot, nullptr, VRX_STATUS_TIME_LIMIT);
			entry = drop_entry(prev, entry);
			continue;
		}

		const StringInfoData &record = slot.version == VRX_VERSION_JSON ? json_record : text_record;
		if (entry->file == nullptr || duration_ms < slot.log_min_duration || record.data == nullptr)
		{
			prev = entry;
			entry = entry->next;
			continue;
		}

		const size_t length = static_cast<size_t>(record.len);
		const bool written =
		    fwrite(record.data, 1, length, entry->file) == length && fflush(entry->file) == 0;
		if (written)
		{
			slot.curr_log_size += length;
			if (slot.max_size != 0 && slot.curr_log_size >= slot.max_size)
			{
				vrx_save_trace(&slot, nullptr, VRX_STATUS_SIZE_LIMIT);
				entry = drop_entry(prev, entry);
				continue;
			}
			prev = entry;
			entry = entry->next;
			continue;
		}

		ereport(LOG, (errmsg("vireo: Couldn't write to the trace file '%s/%s/trace-%d.csv'.",
		                     VRX_TRACES_ROOT, slot.trace_id, MyProcPid)));
		slot.start_time = 0;
		registry->last_change = 0;
		registry->active_count--;
		entry = drop_entry(prev, entry);
	}
	LWLockRelease(registry->lock);
}

void vrx_ExecutorEnd(QueryDesc *query_desc)
{
	if (IsParallelWorker())
	{
		hand_on_end(query_desc);
		return;
	}

	StringInfoData json_record = {};
	StringInfoData text_record = {};
	double duration_ms = 0.0;

	if (query_desc->totaltime != nullptr && vrx_open_traces != nullptr && profiling_allowed &&
	    vireo_enabled && destination_recorded(query_desc))
	{
		InstrEndLoop(query_desc->totaltime);
		duration_ms = query_desc->totaltime->total * 1000.0;
		if (duration_ms >= min_log_min_duration)
		{
			if (explain_json_needed)
				build_record(&json_record, query_desc, EXPLAIN_FORMAT_JSON);
			if (explain_text_needed)
				build_record(&text_record, query_desc, EXPLAIN_FORMAT_TEXT);
		}
	}

	hand_on_end(query_desc);

	if (json_record.data != nullptr || text_record.data != nullptr)
		write_records(json_record, text_record, duration_ms);
	else if (!vireo_enabled && vrx_open_traces != nullptr)
		vrx_close_all_traces();

	if (json_record.data != nullptr)
		pfree(json_record.data);
	if (text_record.data != nullptr)
		pfree(text_record.data);
}
