#include "store/paths.hpp"

void vrx_check_trace_id(const char *id)
{
	if (!vrx_is_trace_id(id))
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		                errmsg("Not a valid trace-id.")));
}

void vrx_trace_dir_path(char (&path)[VRX_PATH_MAX], const char *trace_id)
{
	snprintf(path, sizeof(path), "%s/%s", VRX_TRACES_ROOT, trace_id);
}

void vrx_trace_file_path(char (&path)[VRX_PATH_MAX], const char *trace_id, const char *name)
{
	snprintf(path, sizeof(path), "%s/%s/%s", VRX_TRACES_ROOT, trace_id, name);
}
