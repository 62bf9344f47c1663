// This process's view of the registry: which traces its database takes part
// in, which of them follow the current user, and ending traces from inside
// the executor hooks.
#pragma once

#include "capture/guard.hpp"
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

// Makes the next statement match the current user again.
void vrx_forget_user_match(void);

// Ends the entry's trace with status (3 size limit, 4 time limit) and drops
// the entry.  The descriptor is rewritten at the next point where that
// cannot fail the user's statement (vrx_rewrite_ended_descriptors).
void vrx_end_trace_from_hook(vrx_open_trace *entry, uint16 status);

// Frees the slot of the entry's trace without rewriting its descriptor
// (after its data could not be written) and drops the entry.
void vrx_abandon_trace(vrx_open_trace *entry);

// Rewrites the descriptors of the traces that this process's hooks ended,
// each in a subtransaction of its own: an error is logged, never raised.  A
// cancel or timeout stops the rewriting (vrx_guarded in scope); the rest is
// rewritten at the next chance.
void vrx_rewrite_ended_descriptors(vrx_work_scope scope);
