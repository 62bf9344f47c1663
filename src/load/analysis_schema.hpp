// The session's temporary analysis schema that vr_load_trace fills, and the
// way the loader runs its SQL.
#pragma once

#include "frame/pg.hpp"

// Creates the analysis tables, views, rules and indexes when none of them
// exists, and refuses, naming DISCARD TEMP, when only some of them do, or
// when they are missing in a read-only transaction (where they cannot be
// created: the hint names the trace's stream).  The caller has an open SPI
// connection and a fixed search path.
void vrx_initialize(const char *trace_id);

// Sets search_path to "pg_catalog, pg_temp" until vrx_restore_search_path
// with the returned level (or the end of the (sub)transaction, on error):
// names in the module's SQL then resolve to the system's and the session's
// own objects, never to objects that another user planted in a schema of
// the caller's search path.
int vrx_fix_search_path(void);
void vrx_restore_search_path(int level);

// SPI calls with profiling_allowed cleared around them, so that the module's
// own statements never reach a trace.  Statements run read-write, so that
// each sees what the statements before it in the same transaction wrote,
// also those of an earlier call in the same SQL statement.
int vrx_spi_execute(const char *sql);
SPIPlanPtr vrx_spi_prepare(const char *sql, int nargs, Oid *types);
int vrx_spi_execute_plan(SPIPlanPtr plan, Datum *values, const char *nulls);
