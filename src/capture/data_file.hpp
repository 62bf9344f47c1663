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

struct vrx_record_fields;

// An upper bound of the size of the record of fields.
size_t vrx_record_size_bound(const vrx_record_fields &fields);

// Builds one complete profile record of fields into buffer (which it
// initialises).  The caller has checked with vrx_record_size_bound that the
// record fits in memory.  False, with the record incomplete, when a query
// cancel or timeout was found waiting while a long text was being quoted:
// the work stops there.
bool write_csv_profiler(StringInfo buffer, const vrx_record_fields &fields);
