// Rows into one of the session's analysis tables, in batches.
//
// While the table is as the loader made it (the expected columns and nothing
// that acts on an insert: no triggers, INSERT rules, defaults, constraints or
// row security), rows go in through the table access method's multi-insert
// path, with their index entries added after each batch.  A sink opened for a
// bulk load whose table is not in use elsewhere leaves the indexes alone and
// rebuilds them when it is closed, which is much cheaper than adding the
// entries of many rows one by one.  A table changed by its user gets its rows
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
// this order.  incoming tells how many bytes of trace data the rows come
// from (0 when unknown): a load at least as large as the table is a bulk
// load, when the caller may rebuild the table's indexes and nothing else
// uses them.
vrx_row_sink *vrx_sink_open(const char *table, const vrx_column *columns, int ncolumns,
                            int64 incoming);

// Adds a row.  The values are not copied: what they point to must stay
// valid until the next flush.  Flushes when the batch is full, so the
// caller may release its values when vrx_sink_add says it flushed.
bool vrx_sink_add(vrx_row_sink *sink, const Datum *values, const bool *nulls);

// Writes the buffered rows.
void vrx_sink_flush(vrx_row_sink *sink);

// Makes the table's indexes complete after a bulk load, writing the buffered
// rows first, and adds index entries from then on, so that the table may be
// read through its indexes.  Does nothing outside a bulk load.
void vrx_sink_leave_bulk(vrx_row_sink *sink);

// Writes what is buffered, completes the indexes, releases everything.
// After adding many rows (a tenth of the table, as autovacuum counts), it
// analyzes the table's analyzed columns, so that queries on it get good
// plans.
void vrx_sink_close(vrx_row_sink *sink);
