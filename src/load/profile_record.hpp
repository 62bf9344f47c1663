// One profile record of a trace data file, converted into a row of the
// profile table plus what its query row needs.
#pragma once

#include "frame/pg.hpp"
#include "load/csv_reader.hpp"
#include "load/row_sink.hpp"

// Columns of the profile table, in the order of the values of its rows.
constexpr int VRX_PROFILE_COLUMNS = 30;
extern const vrx_column vrx_profile_columns[VRX_PROFILE_COLUMNS];
constexpr int VRX_PROFILE_QUERY_ID = 7; // filled by the caller

struct vrx_profile_row
{
	Datum values[VRX_PROFILE_COLUMNS];
	bool nulls[VRX_PROFILE_COLUMNS];
	text *query;     // in the database encoding
	Datum params[2]; // params (oidvector) and paramsarr (oid[])
	bool no_params[2];
	bool has_query_id; // a 30-field record
	int64 query_id;    // its query id
};

enum class vrx_record_outcome
{
	insert,
	skip, // malformed: passed over
	stop  // of a statement that ended after the loading one began
};

// How records become rows.
struct vrx_convert_options
{
	int64 trace_no;       // the session's trace number (the profile row's trace_id)
	double version;       // the trace's
	bool params_as_array; // parameter types as paramsarr (oid[]), else as params
};

// Converts a record of the data file of process pid.  The texts of the row
// are allocated in row_cxt, everything else in the current context.
vrx_record_outcome vrx_convert_record(const vrx_record &record, const vrx_convert_options &options,
                                      int32 pid, MemoryContext row_cxt, vrx_profile_row *row);
