// Where traces live on disk, and what names count as trace identifiers.
#pragma once

#include "frame/pg.hpp"
#include "frame/registry.hpp"

// Paths are built into buffers of this size.
constexpr size_t VRX_PATH_MAX = 1024;

// The traces root, vireo.directory: relative to the data directory (the
// server's working directory) unless absolute.  Each trace has a directory
// "<root>/<identifier>".
const char *vrx_traces_root(void);

// Raises ERROR 55000 when the traces root exists but is not under the sole
// control of the server's user: a directory that belongs to another user, or
// that others may write, could hold links that lead the server's own file
// operations (writes, removals) elsewhere.  A missing root passes.
void vrx_check_traces_root(void);

// A trace identifier is exactly 20 ASCII digits.  Anything else could name a
// path outside the traces root, so every caller-supplied identifier and every
// directory entry taken for a trace is checked with this.
inline bool vrx_is_trace_id(const char *name)
{
	int n = 0;
	for (; name[n] != '\0'; n++)
	{
		if (n >= VRX_TRACE_ID_LEN || name[n] < '0' || name[n] > '9')
			return false;
	}
	return n == VRX_TRACE_ID_LEN;
}

// Whether name is a trace data file name, "trace-<digits>.csv"; the digits
// (the pid of the backend that wrote the file) go to *pid, or -1 when they do
// not fit a 32-bit pid.
bool vrx_data_file_name(const char *name, int32 *pid);

// Raises ERROR 55000 "Not a valid trace-id." unless id is a trace identifier.
void vrx_check_trace_id(const char *id);

// "<root>/<id>", "<root>/<id>/<name>" and "<root>/<id>/trace-<pid>.csv".
void vrx_trace_dir_path(char (&path)[VRX_PATH_MAX], const char *trace_id);
void vrx_trace_file_path(char (&path)[VRX_PATH_MAX], const char *trace_id, const char *name);
void vrx_data_file_path(char (&path)[VRX_PATH_MAX], const char *trace_id, int pid);
