// Trace data files: one per backend and trace, "<root>/<id>/trace-<pid>.csv",
// holding one profile record per recorded statement.
#pragma once

#include "capture/state.hpp"

// Opens (creating when missing) this backend's data file of the entry's
// trace.  Anything but a regular file under the name is refused, and nothing
// there can make the open wait.  On failure reports a WARNING and returns
// false.
bool vrx_open_trace_files(vrx_open_trace *entry);

// Appends record to the entry's data file in one write(2).  False when it
// was not written whole.
bool vrx_write_record(const vrx_open_trace *entry, const StringInfoData &record);

// An upper bound of the size of the record that write_csv_profiler would
// build with query_text and plan.
size_t vrx_record_size_bound(const QueryDesc *query_desc, const char *query_text, const char *plan);

// Builds one complete profile record of the statement into buffer (which it
// initialises), with query_text (or nothing) as its text, plan (or nothing)
// as its plan text and duration_ms as its duration.  Sets record_end_time.
// The caller has checked with vrx_record_size_bound that the record fits in
// memory.  False, with the record incomplete, when a query cancel or timeout
// was found waiting while a long text was being quoted: the work stops there.
bool write_csv_profiler(StringInfo buffer, QueryDesc *query_desc, const vrx_statement &st,
                        const char *query_text, const char *plan, double duration_ms);
