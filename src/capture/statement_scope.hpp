// Which statements the backend's traces can record, and where a statement
// stands in the client's command: run by the client itself, or inside a
// function (a statement that a function body, a DO block or a trigger runs).
#pragma once

#include "capture/guard.hpp"
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

// Whether a utility command counts in vrx_utility_depth while it runs.
bool vrx_utility_nests(const Node *parsetree);

// The one decision, at executor start, whether the backend's traces can
// record the statement of query_desc at all.  Only client backends record,
// never while the module runs its own SQL or inside a security-restricted
// operation (maintenance commands running functions as a table's owner); and
// only statements whose results can go to the client or to the statement
// that called them: not those that functions run through SPI, nor COPY TO
// output or the filling of a materialized view.  A statement that cannot be
// recorded gets no instrumentation and no capture state.
bool vrx_statement_recordable(const QueryDesc *query_desc);

// What one executor run of a statement that can be recorded does with its
// results; decided when the run starts, while its destination is valid.
enum class vrx_run_results
{
	returned,  // to the client or to the calling statement: counted
	withheld,  // a cursor's rows skipped by MOVE, or stored when it is held
	           // past its transaction: its work, but no rows returned
	elsewhere, // to SPI or COPY: the statement is not the client's
};

vrx_run_results vrx_classify_run(const vrx_statement &st, const DestReceiver *dest);

// The scope of the module's work at this point: once the client's command has
// done its own work, or inside a statement that goes on.
inline vrx_work_scope vrx_current_scope(void)
{
	return vrx_inside_function() ? vrx_work_scope::statement_goes_on : vrx_work_scope::command_done;
}
