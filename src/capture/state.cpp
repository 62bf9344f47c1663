#include "capture/state.hpp"

#include "capture/executor_hooks.hpp"

vrx_open_trace *vrx_open_traces = nullptr;

TimestampTz statement_start = 0;
TimestampTz record_end_time = 0;
int32 min_log_min_duration = -1;
bool explain_json_needed = false;
bool explain_text_needed = false;
bool profiling_allowed = true;
struct rusage vrx_rusage_start;
struct rusage vrx_rusage_end;
StringInfoData vrx_explain;
double plan_duration_ms = 0.0;

void vrx_free_open_trace(vrx_open_trace *entry)
{
	if (entry->file != nullptr)
		fclose(entry->file);
	pfree(entry);
}

void vrx_close_all_traces(void)
{
	vrx_open_trace *entry = vrx_open_traces;

	vrx_open_traces = nullptr;
	while (entry != nullptr)
	{
		vrx_open_trace *next = entry->next;
		vrx_free_open_trace(entry);
		entry = next;
	}
	seen_activation_seq = -1;
}
