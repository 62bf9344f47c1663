// Which statements the backend's traces can record, and where a statement
// stands in the client's command: run by the client itself, or inside a
// function (a statement that a function body, a DO block or a trigger runs).
#pragma once

#include "capture/guard.hpp"
#include "capture/sampling.hpp"
#include "capture/state.hpp"

// Utility commands in progress that may run statements of their own inside
// them (DO, CALL, COPY FROM with triggers, DDL that evaluates functions...):
// everything but the commands through which the client runs one statement of
// its own (EXPLAIN, EXECUTE, DECLARE, FETCH, CLOSE, CREATE TABLE AS,
// transaction control, DISCARD).
extern int vrx_utility_depth;

// FETCH, MOVE and EXECUTE statements in progress: they hand a cursor's or a
// prepared statement's rows to the client through a store of their own.
extern int vrx_portal_fetch_depth;

// Whether a statement starting or ending now runs inside another statement
// or inside a function, rather than as the client's command itself.
inline bool vrx_inside_function(void)
{
	return vrx_run_depth > 0 || vrx_utility_depth > 0;
}

// What a utility command is to the capture.
enum class vrx_utility_kind
{
	// EXPLAIN, EXECUTE, CREATE TABLE AS, DECLARE, FETCH, MOVE, CLOSE: the
	// client runs one statement through it, which the executor hooks
	// record.  Never recorded as a utility statement.
	runs_statement,
	// Transaction control and DISCARD: a utility statement of the client's;
	// the cursors they close are the client's too.
	control,
	// Everything else: a utility statement, inside which the statements
	// that it runs (DO, CALL, COPY FROM with triggers, DDL that evaluates
	// functions...) are nested; it counts in vrx_utility_depth.
	command,
};

vrx_utility_kind vrx_utility_kind_of(const Node *parsetree);

// Which traces may record a statement.
enum class vrx_reach
{
	none,   // none: it runs as if the module were absent
	client, // every trace that follows its user
	nested, // a statement that a function runs through SPI: only the traces
	        // that record the statements of functions (vireo.track_nested)
};

// The one decision, at executor start, which traces can record the
// statement of query_desc.  Only client backends record, never while the
// module runs its own SQL or inside a security-restricted operation
// (maintenance commands running functions as a table's owner); and only
// statements whose results can go to the client or to the statement that
// called them, or (nested) to the function that runs them: not COPY TO
// output or the filling of a materialized view.  A statement that no trace
// records gets no instrumentation and no capture state.
vrx_reach vrx_statement_reach(const QueryDesc *query_desc);

// The part of that decision that does not depend on the statement: whether
// this backend records anything now.
bool vrx_backend_records(void);

// Whether the entry's trace records a statement of reach that the current
// user starts in the current sample.
inline bool vrx_trace_follows(const vrx_open_trace &entry, vrx_reach reach)
{
	return entry.user_matches && vrx_sampled(entry) &&
	       (reach != vrx_reach::nested || entry.options.track_nested);
}

// Whether a record of the entry's trace may carry a plan: not when it wants
// plans only of statements that run longer than the statement timeout lets
// them.
inline bool vrx_plan_in_reach(const vrx_open_trace &entry)
{
	return entry.plan_min_duration < 0 || StatementTimeout <= 0 ||
	       entry.plan_min_duration <= StatementTimeout;
}

// What one executor run of a statement that can be recorded does with its
// results; decided when the run starts, while its destination is valid.
enum class vrx_run_results
{
	returned,        // to the client or to the calling statement: counted
	returned_nested, // to the function that runs it, through SPI, for traces
	                 // that record the statements of functions: counted
	withheld,        // a cursor's rows skipped by MOVE, or stored when it is
	                 // held past its transaction: its work, but no rows returned
	elsewhere,       // to SPI (for no such trace) or COPY: not recorded
};

vrx_run_results vrx_classify_run(const vrx_statement &st, const DestReceiver *dest);

// The scope of the module's work at this point: once the client's command has
// done its own work, or inside a statement that goes on.
inline vrx_work_scope vrx_current_scope(void)
{
	return vrx_inside_function() ? vrx_work_scope::statement_goes_on : vrx_work_scope::command_done;
}
