#include "capture/record_builder.hpp"

#include "capture/data_file.hpp"
#include "capture/guard.hpp"
#include "capture/record_format.hpp"
#include "frame/pg_compat.hpp"
#include "frame/settings.hpp"

static constexpr const char *PLAN_NOT_AVAILABLE = "vireo: plan not available: ";

// The statement's EXPLAIN in format, built before the standard executor end
// while the plan state still exists; allocated in the query's memory.
static char *build_explain(QueryDesc *query_desc, ExplainFormat format)
{
	MemoryContext old = MemoryContextSwitchTo(query_desc->estate->es_query_cxt);
	ExplainState *es = NewExplainState();
	const int options = query_desc->instrument_options;

	es->verbose = false;
	es->analyze = options != 0;
	es->buffers = (options & INSTRUMENT_BUFFERS) != 0;
	es->timing = (options & INSTRUMENT_TIMER) != 0;
	es->format = format;

	ExplainBeginOutput(es);
	ExplainPrintPlan(es, query_desc);
	ExplainPrintTriggers(es, query_desc);
	// The JIT section, where EXPLAIN ANALYZE and auto_explain print it: the
	// time JIT compilation took is no plan node's.
	if (es->costs)
		ExplainPrintJITSummary(es, query_desc);
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
	return str->data;
}

// The duration written into the record: the top plan node's time per loop;
// without per-node timing, or without instrumented nodes (no trace may want
// the plan), the time of the whole executor run.
static double plan_duration_ms(QueryDesc *query_desc)
{
	Instrumentation *instr = query_desc->planstate ? query_desc->planstate->instrument : nullptr;
	if (instr == nullptr || (query_desc->instrument_options & INSTRUMENT_TIMER) == 0)
	{
		if (query_desc->totaltime == nullptr)
			return 0.0;
		InstrEndLoop(query_desc->totaltime);
		return query_desc->totaltime->total * 1000.0;
	}
	InstrEndLoop(instr);
	return instr->nloops > 0 ? instr->total / instr->nloops * 1000.0 : 0.0;
}

static bool fits(const vrx_record_fields &fields)
{
	return vrx_record_size_bound(fields) < MaxAllocSize;
}

static vrx_text_span span_of(const char *text)
{
	return {text, text != nullptr ? strlen(text) : 0};
}

// Builds one record with plan, or with the note about why there is none.  A
// cancel or timeout found waiting stops the window's work: the record then
// carries the note in place of the plan, or is skipped when even its text
// cannot be quoted before the interrupt is left to the server.
static void build_record(StringInfo record, vrx_record_fields &fields, const char *plan,
                         const char *failure, vrx_work_window &window)
{
	*record = StringInfoData{};
	if (plan != nullptr && plan[0] != '\0' && window.stopped())
	{
		window.stop();
		plan = nullptr;
		failure = VRX_CANCELED;
	}
	fields.plan = span_of(plan);
	if (plan != nullptr && !fits(fields))
	{
		plan = nullptr;
		failure = "the record would exceed 1 GB";
	}
	for (;;)
	{
		char *note = plan == nullptr && failure != nullptr
		                 ? psprintf("%s%s", PLAN_NOT_AVAILABLE, failure)
		                 : nullptr;
		fields.plan = span_of(note != nullptr ? note : plan);
		if (!fits(fields))
		{
			ereport(LOG, (errmsg("vireo: a statement was not recorded: its record would exceed 1 GB")));
			return;
		}
		fields.end_time = record_end_time = GetCurrentTimestamp();
		const bool built = write_csv_profiler(record, fields);
		if (note != nullptr)
			pfree(note);
		if (built)
			return;
		pfree(record->data);
		*record = StringInfoData{};
		window.stop();
		if (plan == nullptr)
			return; // even the text alone was cut short
		plan = nullptr;
		failure = VRX_CANCELED;
	}
}

vrx_wanted_records vrx_wanted_formats(const vrx_statement &st, double duration_ms)
{
	vrx_wanted_records wanted = {};
	vrx_for_each_slot(st.slots, [&](int i) {
		const vrx_open_trace *entry = vrx_find_entry(i, st.generation[i]);
		if (entry == nullptr ||
		    (duration_ms >= 0 && (duration_ms < entry->log_min_duration || !vrx_records_into(st, *entry))))
			return;
		if (!vrx_wants_plan(*entry, duration_ms, st.plan_possible))
			wanted.bare = true;
		else if (entry->version == VRX_VERSION_JSON)
			wanted.json = true;
		else
			wanted.text = true;
	});
	return wanted;
}

// Builds one form of the plan where no error can reach the statement; on
// failure *plan is null and *failure says why.
static void build_plan(QueryDesc *query_desc, ExplainFormat format, vrx_work_window &window,
                       char **plan, const char **failure)
{
	*plan = nullptr;
	// The plan is deparsed from the catalogs, which may have changed since
	// the statement started (a cursor closed at COMMIT after its function
	// was dropped): the text is built where an error cannot escape.  That
	// takes a subtransaction, which cannot be had inside a parallel
	// operation or while a COMMIT is under way (a cursor's plan was built
	// before the COMMIT; others started after it, in deferred triggers).
	if (vrx_can_guard())
	{
		char *text = nullptr;
		*failure = vrx_guarded(window, [&] { text = build_explain(query_desc, format); });
		if (*failure == nullptr)
			*plan = text;
	}
	else if (IsInParallelMode())
		*failure = "the statement ended inside a parallel operation";
	else
		*failure = "the statement ended while its transaction committed";
}

void vrx_build_plans(QueryDesc *query_desc, vrx_statement *st, bool want_json, bool want_text,
                     vrx_work_window &window)
{
	MemoryContext old = MemoryContextSwitchTo(query_desc->estate->es_query_cxt);

	st->plans_built = true;
	st->plan_duration_ms = plan_duration_ms(query_desc);
	// Each form on its own: one that fails (a JSON text past 1 GB) leaves
	// the other.
	if (want_json)
		build_plan(query_desc, EXPLAIN_FORMAT_JSON, window, &st->json_plan, &st->json_failure);
	if (want_text)
		build_plan(query_desc, EXPLAIN_FORMAT_TEXT, window, &st->text_plan, &st->text_failure);
	MemoryContextSwitchTo(old);
}

void vrx_build_records(QueryDesc *query_desc, vrx_statement *st, const vrx_wanted_records &wanted,
                       vrx_work_window &window, StringInfo json_record, StringInfo text_record,
                       StringInfo bare_record)
{
	*json_record = StringInfoData{};
	*text_record = StringInfoData{};
	*bare_record = StringInfoData{};

	if (!st->plans_built)
		vrx_build_plans(query_desc, st, wanted.json, wanted.text, window);
	vrx_record_fields fields = vrx_statement_fields(*st);
	fields.duration_ms = st->plan_duration_ms;
	if (wanted.json)
		build_record(json_record, fields, st->json_plan, st->json_failure, window);
	if (wanted.text)
		build_record(text_record, fields, st->text_plan, st->text_failure, window);
	// The record without a plan holds an empty plan field, never an absent
	// one: readers skip records whose plan field is absent.
	if (wanted.bare)
		build_record(bare_record, fields, "", nullptr, window);
}
