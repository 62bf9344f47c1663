#include "store/paths.hpp"

#include <sys/stat.h>

#include "frame/settings.hpp"

const char *vrx_traces_root(void)
{
	// Null only in a process that did not preload the module, whose traces
	// (listed without the registry) are where the default puts them.
	return vireo_directory != nullptr ? vireo_directory : "traces";
}

void vrx_check_traces_root(void)
{
	const char *root = vrx_traces_root();
	struct stat st;

	if (stat(root, &st) != 0 || !S_ISDIR(st.st_mode))
		return;
	if (st.st_uid != geteuid())
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		                errmsg("the traces directory \"%s\" does not belong to the server's user",
		                       root),
		                errdetail("It belongs to the user with id %u; the server runs as %u.",
		                          static_cast<unsigned>(st.st_uid),
		                          static_cast<unsigned>(geteuid())),
		                errhint("Give it to the server's user, or point vireo.directory at a "
		                        "directory of its own and restart the server.")));
	if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		                errmsg("the traces directory \"%s\" may be written by other users than "
		                       "the server's",
		                       root),
		                errhint("Remove the write permission of group and others: chmod go-w.")));
}

void vrx_check_trace_id(const char *id)
{
	if (!vrx_is_trace_id(id))
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		                errmsg("Not a valid trace-id.")));
}

void vrx_trace_dir_path(char (&path)[VRX_PATH_MAX], const char *trace_id)
{
	snprintf(path, sizeof(path), "%s/%s", vrx_traces_root(), trace_id);
}

void vrx_trace_file_path(char (&path)[VRX_PATH_MAX], const char *trace_id, const char *name)
{
	snprintf(path, sizeof(path), "%s/%s/%s", vrx_traces_root(), trace_id, name);
}

void vrx_data_file_path(char (&path)[VRX_PATH_MAX], const char *trace_id, int pid)
{
	snprintf(path, sizeof(path), "%s/%s/trace-%d.csv", vrx_traces_root(), trace_id, pid);
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
