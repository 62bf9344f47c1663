// Where traces live on disk, and what names count as trace identifiers.
#pragma once

#include "frame/pg.hpp"
#include "frame/registry.hpp"

// The traces root, relative to the data directory (the server's working
// directory).  Each trace has a directory "traces/<identifier>".
constexpr const char *VRX_TRACES_ROOT = "traces";
constexpr size_t VRX_PATH_MAX = 1024;

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

// "traces/<id>" and "traces/<id>/<name>".
void vrx_trace_dir_path(char (&path)[VRX_PATH_MAX], const char *trace_id);
void vrx_trace_file_path(char (&path)[VRX_PATH_MAX], const char *trace_id, const char *name);
