// This process's view of the registry: which traces its database takes part
// in, which of them follow the current user, and ending traces from inside
// the executor hooks.
#pragma once

#include "capture/data_file.hpp"
#include "capture/state.hpp"

// Brings the open trace list in line with the registry when the registry's
// change count moved since the last look (read without the lock): drops the
// entries of ended traces, makes entries for new traces of this database,
// and ends traces whose time limit passed before the current statement.
void vrx_scan_registry(void);

// Makes the next statement scan the registry again.
void vrx_forget_registry_scan(void);

// Whether a trace of the open trace list follows the current user.  One oid
// compare while the user stays the same; when it changed, every entry is
// matched again.
bool vrx_user_is_traced(void);

// The traces of the open trace list that follows(entry) picks for a
// statement starting now, in generation (by slot): their data files are
// opened now if need be (an entry whose file cannot be opened is dropped,
// with a WARNING), and taken(entry) is told of each.  False when none is.
template <typename Follows, typename Taken>
bool vrx_select_traces(uint64 (&generation)[VRX_MAX_TRACES], Follows &&follows, Taken &&taken)
{
	bool any = false;
	for (vrx_open_trace *entry = vrx_open_traces; entry != nullptr;)
	{
		vrx_open_trace *next = entry->next;
		if (follows(*entry))
		{
			if (entry->fd < 0 && !vrx_open_trace_files(entry))
				vrx_drop_entry(entry);
			else
			{
				generation[entry->slot_index] = entry->generation;
				taken(*entry);
				any = true;
			}
		}
		entry = next;
	}
	return any;
}

// Makes the next statement match the current user again.
void vrx_forget_user_match(void);

// Ends the entry's trace with status (3 size limit, 4 time limit), rewrites
// its descriptor at once and drops the entry.  Nothing here raises: a
// descriptor that cannot be rewritten goes to the server log only, since
// the session at hand may have nothing to do with the trace.
void vrx_end_trace_from_hook(vrx_open_trace *entry, uint16 status);

// Frees the slot of the entry's trace without rewriting its descriptor
// (after its data could not be written) and drops the entry.
void vrx_abandon_trace(vrx_open_trace *entry);
