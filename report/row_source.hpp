// Where the records of a trace come from.  Both sources deliver the same
// columns in the same order (the loader's: files in pid order, records in
// file order), over COPY in binary form, so that the client never holds
// more than one row of the result.
#pragma once

#include "connection.hpp"
#include "record.hpp"

#include <functional>
#include <string>

// Called once per record; it may take the record's strings.
using RecordSink = std::function<void(TraceRecord &)>;

// The rows of a trace that vr_load_trace loaded into this session's analysis
// tables, by the session's number for the trace.
void read_loaded_records(Connection &db, long long trace_number, const RecordSink &sink);

// The rows vr_trace_records streams from the data files, without loading.
void read_streamed_records(Connection &db, const std::string &schema, const std::string &trace_id,
                           const RecordSink &sink);
