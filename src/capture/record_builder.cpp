#include "capture/record_builder.hpp"

#include "capture/data_file.hpp"
#include "capture/guard.hpp"

static constexpr const char *PLAN_NOT_AVAILABLE = "vireo: plan not available: ";

// The statement's EXPLAIN in format, built before the standard executor end
// while the plan state still exists; allocated in the query's memory.
static char *build_explain(QueryDesc *query_desc, ExplainFormat format)
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
	return str->data;
}

// The duration written into the record: the top plan node's time per loop.
static double plan_duration_ms(QueryDesc *query_desc)
{
	Instrumentation *instr = query_desc->planstate ? query_desc->planstate->instrument : nullptr;
	if (instr == nullptr)
		return 0.0;
	InstrEndLoop(instr);
	return instr->nloops > 0 ? instr->total / instr->nloops * 1000.0 : 0.0;
}

static bool fits(QueryDesc *query_desc, const char *plan)
{
	return vrx_record_size_bound(query_desc, plan) < MaxAllocSize;
}

// Builds one record with plan, or with the note about why there is none.
static void build_record(StringInfo record, QueryDesc *query_desc, const vrx_statement &st,
                         const char *plan, const char *no_plan_reason)
{
	const double duration = plan_duration_ms(query_desc);
	char *note = nullptr;

	if (plan != nullptr && !fits(query_desc, plan))
	{
		plan = nullptr;
		no_plan_reason = "the record would exceed 1 GB";
	}
	if (plan == nullptr && no_plan_reason != nullptr)
		plan = note = psprintf("%s%s", PLAN_NOT_AVAILABLE, no_plan_reason);
	if (!fits(query_desc, plan))
	{
		ereport(LOG, (errmsg("vireo: a statement was not recorded: its record would exceed 1 GB")));
		*record = StringInfoData{};
	}
	else
		write_csv_profiler(record, query_desc, st, plan, duration);
	if (note != nullptr)
		pfree(note);
}

void vrx_build_records(QueryDesc *query_desc, const vrx_statement &st, bool want_json,
                       bool want_text, StringInfo json_record, StringInfo text_record)
{
	*json_record = StringInfoData{};
	*text_record = StringInfoData{};

	// The plan is deparsed from the catalogs, which may have changed since
	// the statement started (a cursor closed at COMMIT after its function
	// was dropped): the whole build runs where an error cannot escape.
	char *failure;
	if (vrx_can_guard())
		failure = vrx_guarded([&] {
			if (want_json)
				build_record(json_record, query_desc, st,
				             build_explain(query_desc, EXPLAIN_FORMAT_JSON), nullptr);
			if (want_text)
				build_record(text_record, query_desc, st,
				             build_explain(query_desc, EXPLAIN_FORMAT_TEXT), nullptr);
		});
	else if (IsInParallelMode())
		failure = pstrdup("the statement ended inside a parallel operation");
	else
		failure = pstrdup("the statement ended while its transaction was rolled back");
	if (failure == nullptr)
		return;

	StringInfo built[] = {json_record, text_record};
	for (StringInfo record : built)
	{
		if (record->data != nullptr)
			pfree(record->data);
		*record = StringInfoData{};
	}
	if (want_json)
		build_record(json_record, query_desc, st, nullptr, failure);
	if (want_text)
		build_record(text_record, query_desc, st, nullptr, failure);
	pfree(failure);
}
