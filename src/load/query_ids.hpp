// Query ids of loaded records, and the query table rows behind them.
//
// Every distinct query text has one row in the query table and one id, which
// all profile rows of that text carry; no two texts share an id.  A text
// keeps the smallest id any of its records was given: a 29-field record is
// given the session's query counter, a 30-field record the id in its last
// field (or 1 when that is no number).  An id that another text already has
// is not given to a record: the record takes its text's id, or, for a new
// text, the next free value of the counter.  The counter never goes back: a
// 30-field record raises it past its id.
//
// Identical texts are folded while the records are read, so that each text's
// query row is inserted once.  The texts of the current load are kept in
// memory up to maintenance_work_mem; beyond it, the texts that records keep
// meeting stay and the others are looked up in the query table through its
// indexes.
#pragma once

#include "frame/pg.hpp"
#include "load/row_sink.hpp"

struct vrx_query_ids;

// Starts the query ids of one load; new query rows go to queries.
vrx_query_ids *vrx_query_ids_begin(vrx_row_sink *queries);

// The query id of a record with the given query text (in the database
// encoding) and parameter types (the query row's params and paramsarr).
// has_field_id tells a 30-field record, whose id is field_id.  profiles is
// the sink of the profile rows, written before a statement moves profile
// rows from one id to another.  The text and the parameter values may be
// released after the call.
int64 vrx_query_id(vrx_query_ids *ids, vrx_row_sink *profiles, const text *query,
                   const Datum *params, const bool *nulls, bool has_field_id, int64 field_id);

// Ends the load's query ids; the caller then closes the two sinks.
void vrx_query_ids_end(vrx_query_ids *ids);

// Columns of the query table, in the order of the values of its rows.
extern const vrx_column vrx_query_columns[4];
