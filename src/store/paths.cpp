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

bool vrx_data_file_name(const char *name, int32 *pid)
{
	constexpr size_t prefix = sizeof("trace-") - 1;
	constexpr size_t suffix = sizeof(".csv") - 1;
	const size_t len = strlen(name);

	if (len <= prefix + suffix || strncmp(name, "trace-", prefix) != 0 ||
	    strcmp(name + len - suffix, ".csv") != 0)
		return false;
	int64 value = 0;
	for (size_t i = prefix; i < len - suffix; i++)
	{
		if (!isdigit(static_cast<unsigned char>(name[i])))
			return false;
		if (value <= PG_INT32_MAX)
			value = value * 10 + (name[i] - '0');
	}
	*pid = value <= PG_INT32_MAX ? static_cast<int32>(value) : -1;
	return true;
}
