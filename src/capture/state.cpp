#include "capture/state.hpp"

#include "capture/trace_scan.hpp"

vrx_open_trace *vrx_open_traces = nullptr;
vrx_statement *vrx_statements = nullptr;

TimestampTz statement_start = 0;
int vrx_run_depth = 0;
TimestampTz record_end_time = 0;
bool profiling_allowed = true;

vrx_open_trace *vrx_find_entry(int slot_index, uint64 generation)
{
	for (vrx_open_trace *e = vrx_open_traces; e != nullptr; e = e->next)
	{
		if (e->slot_index == static_cast<uint32>(slot_index) && e->generation == generation)
			return e;
	}
	return nullptr;
}

void vrx_free_open_trace(vrx_open_trace *entry)
{
	if (entry->fd >= 0)
		close(entry->fd);
	pfree(entry);
}

void vrx_drop_entry(vrx_open_trace *entry)
{
	for (vrx_open_trace **link = &vrx_open_traces; *link != nullptr; link = &(*link)->next)
	{
		if (*link == entry)
		{
			*link = entry->next;
			break;
		}
	}
	vrx_free_open_trace(entry);
	vrx_forget_user_match();
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
	vrx_forget_registry_scan();
}
