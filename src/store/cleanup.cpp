// vr_cleanup: removes stored traces (data files, descriptor and directory).
// Entries of a trace directory that vireo did not write are never removed.
#include <sys/stat.h>

#include "frame/registry.hpp"
#include "store/activation.hpp"
#include "store/descriptor.hpp"
#include "store/paths.hpp"

extern "C" {
PG_FUNCTION_INFO_V1(vr_cleanup);
}

static void not_owner_error(const char *trace_id)
{
	ereport(ERROR, (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
	                errmsg("Trace (%s) is not intiated by this user. Only the super-user or the "
	                       "user who intiated the trace can load it.",
	                       trace_id)));
}

static void remove_error(const char *path)
{
	ereport(ERROR, (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
	                errmsg("couldn't remove the file \"%s\": %m", path)));
}

// Removes one stored trace.  With report_errors every obstacle raises an
// ERROR; without, most obstacles return false so that the caller can go on.
// True when the trace directory is gone completely.
static bool remove_trace(const char *trace_id, bool report_errors)
{
	vrx_trace_descriptor d;
	if (!load_trace_ini(trace_id, &d))
	{
		if (report_errors)
			ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
			                errmsg("Could not load the trace '%s'.", trace_id)));
		return false;
	}
	const Oid owner = static_cast<Oid>(d.owner);
	vrx_free_descriptor(&d);

	if (!superuser() && owner != GetUserId())
	{
		if (report_errors)
			not_owner_error(trace_id);
		return false;
	}

	char dir_path[VRX_PATH_MAX];
	char path[VRX_PATH_MAX];
	vrx_trace_dir_path(dir_path, trace_id);

	// Only a real directory is emptied: a symbolic link planted in place of
	// a trace directory is not followed.
	struct stat st;
	DIR *dir = nullptr;
	if (lstat(dir_path, &st) == 0 && S_ISDIR(st.st_mode))
		dir = AllocateDir(dir_path);
	else
		errno = ENOTDIR;
	if (dir == nullptr)
	{
		if (report_errors)
			ereport(ERROR, (errcode_for_file_access(),
			                errmsg("could not open directory \"%s\": %m", dir_path)));
		return false;
	}

	bool foreign = false;
	bool failed = false;
	struct dirent *de;
	while ((de = ReadDir(dir, dir_path)) != nullptr)
	{
		const char *name = de->d_name;
		int32 pid;
		if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
		    strcmp(name, VRX_DESCRIPTOR_NAME) == 0)
			continue;

		snprintf(path, sizeof(path), "%s/%s", dir_path, name);

		// A descriptor left half-written by an interrupted rewrite is ours.
		const bool ours =
		    strcmp(name, VRX_DESCRIPTOR_TEMP_NAME) == 0 || vrx_data_file_name(name, &pid);
		if (!ours || lstat(path, &st) != 0 || S_ISDIR(st.st_mode))
		{
			foreign = true;
			continue;
		}
		if (unlink(path) == 0 || errno == ENOENT)
			continue;

		if (report_errors)
		{
			int saved = errno;
			FreeDir(dir);
			errno = saved;
			remove_error(path);
		}
		ereport(WARNING, (errmsg("could not remove file  \"%s\": %m", path)));
		failed = true;
	}
	FreeDir(dir);

	if (!foreign && !failed)
		return rmtree(dir_path, true);
	if (failed)
		return false;

	vrx_trace_file_path(path, trace_id, VRX_DESCRIPTOR_NAME);
	if (unlink(path) != 0 && errno != ENOENT)
		remove_error(path);
	if (report_errors)
		ereport(ERROR, (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
		                errmsg("Found files and/or directories not used by the vireo. You will "
		                       "have to remove those manually.")));
	return false;
}

static bool trace_is_running(const char *trace_id)
{
	vrx_trace_registry *registry = vrx_shared_config;
	LWLockAcquire(registry->lock, LW_SHARED);
	bool running = find_trace(trace_id, false) != nullptr;
	LWLockRelease(registry->lock);
	return running;
}

static void active_error(const char *trace_id)
{
	ereport(ERROR, (errcode(ERRCODE_OBJECT_IN_USE),
	                errmsg("The trace '%s' is currently active.", trace_id)));
}

// Removes every trace the caller may remove; removes the traces root too
// when it held nothing else.  False when the traces root cannot be opened.
static bool remove_all_traces(bool force)
{
	DIR *root = AllocateDir(vrx_traces_root());
	if (root == nullptr)
	{
		ereport(WARNING, (errmsg("Couldn't open the directory '%s'.", vrx_traces_root())));
		return false;
	}

	bool all_removed = true;
	struct dirent *de;
	while ((de = ReadDir(root, vrx_traces_root())) != nullptr)
	{
		const char *name = de->d_name;
		if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
			continue;
		if (!vrx_is_trace_id(name))
		{
			all_removed = false;
			continue;
		}
		if (trace_is_running(name))
		{
			if (!force)
				active_error(name);
			if (deactivate_trace(name, false) == VRX_NOT_PERMITTED)
			{
				all_removed = false;
				continue;
			}
		}
		all_removed = remove_trace(name, false) && all_removed;
	}
	FreeDir(root);

	// Every entry was a trace and is gone, so the root is empty unless a
	// trace was started meanwhile: rmdir removes it only then, where a
	// recursive removal would take the new trace along.
	if (all_removed)
		(void) rmdir(vrx_traces_root());
	return true;
}

Datum vr_cleanup(PG_FUNCTION_ARGS)
{
	char *trace_id = PG_ARGISNULL(0) ? nullptr : text_to_cstring(PG_GETARG_TEXT_PP(0));
	const bool force = !PG_ARGISNULL(1) && PG_GETARG_BOOL(1);

	vrx_require_registry();
	vrx_check_traces_root();

	if (trace_id == nullptr)
		PG_RETURN_BOOL(remove_all_traces(force));

	vrx_check_trace_id(trace_id);
	if (trace_is_running(trace_id))
	{
		if (!force)
			active_error(trace_id);
		deactivate_trace(trace_id, true);
	}
	PG_RETURN_BOOL(remove_trace(trace_id, true));
}
