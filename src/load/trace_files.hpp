// Reading a trace's data files: the one reader behind vr_load_trace, which
// puts the records into the analysis tables, and vr_trace_records, which
// returns them as rows.  Both see the same records in the same order: the
// files whose names are canonical, by pid; in each file its records in
// order, skipping malformed ones and stopping at the first record of a
// statement that ended after the reading statement began.
#pragma once

#include "frame/pg.hpp"
#include "load/profile_record.hpp"

// The checks both readers make before they read: the module is preloaded,
// the identifier is well formed, the trace exists in the session's explain
// format, and the caller is a superuser or its owner.  Returns the trace's
// version; raises the loader's errors otherwise.
double vrx_open_trace(const char *trace_id);

// A data file of a trace directory.
struct vrx_data_file
{
	int32 pid;
	int64 start; // where reading starts
	bool known;  // the caller has a saved position for it
};

// The data files of the directory, in the order of their pids (a List of
// vrx_data_file, start 0).  False when the directory cannot be read.
bool vrx_list_data_files(const char *dir_path, List **files);

struct vrx_data_file_reader;

// Opens the file of pid in dir_path to read from start, or returns null when
// it cannot be opened.  The stream is released at the end of the
// transaction if vrx_close_data_file is never called.
vrx_data_file_reader *vrx_open_data_file(const char *dir_path, int32 pid, int64 start);

enum class vrx_read_result
{
	row,  // *row holds a record, *position is just after it
	skip, // a malformed record, passed over
	done  // the end of the data, or a record that ends the reading
};

// Reads the next record of the file into *row (texts in row_cxt, the rest in
// the current context, which the caller resets after each record).
vrx_read_result vrx_next_record(vrx_data_file_reader *file, const vrx_convert_options &options,
                                MemoryContext row_cxt, vrx_profile_row *row, int64 *position);

void vrx_close_data_file(vrx_data_file_reader *file);
