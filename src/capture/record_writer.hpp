// Appending records to this backend's data files, and ending traces at their
// time, size and free-space limits.
//
// Two ways to write.  The record of a statement that ended normally is built
// in memory and appended with one write(2) (executor_hooks.cpp).  A record
// made where nothing may fail or wait (while an error is being handled or a
// transaction aborts, right after a commit, after a utility statement whose
// work is done) is written quietly: no allocation, no lock, no report; it
// goes out through a buffer reserved when the module was loaded, in as many
// write(2) calls as it needs (a reader leaves a record that is unfinished at
// the end of a file for later).  Either way a trace that cannot take a
// record (past its time or size limit, too little free space, a failed
// write) is only marked; vrx_settle_pending_ends ends it at the next point
// where the registry lock may be taken and a LOG line written.
#pragma once

#include "capture/free_space.hpp"
#include "capture/record_format.hpp"

// Reserves the memory of the quiet paths, once, from _PG_init: every
// backend inherits it.
void vrx_reserve_quiet_memory(void);

// Memory that the quiet paths may allocate in: its one block of
// VRX_QUIET_CONTEXT_SIZE bytes is allocated in advance, so that pieces of
// at most 8 kB that together fit in it never make it ask the system for
// more.  Reset after each use.
extern MemoryContext vrx_quiet_context;
constexpr size_t VRX_QUIET_CONTEXT_SIZE = 64 * 1024;

// Whether the entry's trace takes the record of a statement that lasted
// duration_ms and ended at end_time.  A trace past its time limit is
// marked to end and takes nothing.  Allocates nothing.
bool vrx_trace_takes_record(vrx_open_trace *entry, TimestampTz end_time, double duration_ms);

// Claims the free space that a record of bytes needs in the entry's trace
// (vrx_claim_free_space); when the file system has less than
// vireo.min_free_space would leave, the trace is marked to end and false is
// returned.  Allocates nothing.
bool vrx_claim_record_space(vrx_open_trace *entry, size_t bytes, vrx_space_claim *claim);

// Accounts for a record of bytes written to the entry's data file (whole:
// all of it was), marking the trace to end at its size limit or after a
// failed write.  Allocates nothing.
void vrx_record_written(vrx_open_trace *entry, size_t bytes, bool whole);

// Which traces of a statement take a quiet record.
enum class vrx_record_form
{
	any,  // the record carries no plan: the same for every trace
	json, // traces of JSON plans that want the plan (vrx_wants_plan) only
	text, // traces of text plans that want the plan only
	bare, // traces that do not want the plan only
};

// Writes the record of fields to this backend's data files of the traces
// of generation that still run, take it (vrx_trace_takes_record with
// fields' end time and duration, and the free space it needs), are of form
// and, when nested_only (the
// statement returned its results only to the function that ran it), record
// the statements of functions.  Nothing here can fail, wait or raise.
void vrx_write_quietly(const vrx_record_fields &fields, const uint64 (&generation)[VRX_MAX_TRACES],
                       vrx_record_form form, bool nested_only);

// Whether some trace waits to be ended.
extern bool vrx_pending_ends;

// Ends the traces that were marked to end, each with its LOG line where its
// end needs one.  Takes the registry lock; only where that is safe.
void vrx_settle_pending_ends(void);
