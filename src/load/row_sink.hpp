// Rows into one of the session's analysis tables, in batches.
//
// While the table is as the loader made it (the expected columns and nothing
// that acts on an insert: no triggers, INSERT rules, defaults, constraints,
// row security or deferred index checks), rows go in through the table
// access method's multi-insert path, with their index entries added after
// each batch, as COPY does.  A table changed by its user gets its rows
// through an INSERT statement each, so that whatever the user added acts on
// them.
#pragma once

#include "frame/pg.hpp"

struct vrx_column
{
	const char *name;
	Oid type;
	bool analyzed; // statistics are gathered after a large load
};

struct vrx_row_sink;

// Rows a sink buffers before it writes them.
constexpr int VRX_SINK_BATCH = 1000;

// Opens the sink of table pg_temp.<table>, whose columns the rows give in
// this order.
vrx_row_sink *vrx_sink_open(const char *table, const vrx_column *columns, int ncolumns);

// Adds a row.  The values are not copied: what they point to must stay
// valid until the next flush.  Flushes when the batch is full, and then
// returns true, so that the caller may release the values.
bool vrx_sink_add(vrx_row_sink *sink, const Datum *values, const bool *nulls);

// Writes the buffered rows.
void vrx_sink_flush(vrx_row_sink *sink);

// Writes what is buffered and releases everything.  After adding many rows
// (a tenth of the table, as autovacuum counts), it analyzes the table's
// analyzed columns, so that queries on it get good plans.
void vrx_sink_close(vrx_row_sink *sink);
