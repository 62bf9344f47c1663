// Trace data files: one per backend and trace, "traces/<id>/trace-<pid>.csv",
// holding one profile record per recorded statement.
#pragma once

#include "capture/state.hpp"

// Opens (creating when missing) this backend's data file of the entry's trace
// and raises the trace-dependent capture state.  The caller holds the
// registry lock.  On failure reports a WARNING and returns false.
bool vrx_open_trace_files(vrx_open_trace *entry);

// Builds one complete profile record of the statement into buffer (which it
// initialises).  Sets record_end_time and the end resource usage.
void write_csv_profiler(StringInfo buffer, QueryDesc *query_desc);
