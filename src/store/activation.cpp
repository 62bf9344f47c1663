// vr_activate and vr_deactivate.  A superuser or a member of vireo_admin may
// trace any users and end any trace; anybody else traces only himself and
// ends only the traces he started.
#include "store/activation.hpp"

#include <sys/stat.h>
#include <time.h>

#include "frame/registry.hpp"
#include "frame/settings.hpp"
#include "store/descriptor.hpp"
#include "store/paths.hpp"

extern "C" {
PG_FUNCTION_INFO_V1(vr_activate);
PG_FUNCTION_INFO_V1(vr_deactivate);
}

static constexpr const char *ADMIN_ROLE = "vireo_admin";

bool role_has_profiler_privilege(void)
{
	Oid role = get_role_oid(ADMIN_ROLE, false);

	HeapTuple tuple = SearchSysCache1(AUTHNAME, CStringGetDatum(ADMIN_ROLE));
	if (!HeapTupleIsValid(tuple))
		return false;
	Oid found = reinterpret_cast<Form_pg_authid>(GETSTRUCT(tuple))->oid;
	ReleaseSysCache(tuple);
	if (found != role)
		return false;

	return has_privs_of_role(GetUserId(), role);
}

bool vrx_caller_is_privileged(void)
{
	return superuser() || role_has_profiler_privilege();
}

// Raises ERROR 55000 with the registry lock released first.
#define activation_error(...)                                                                      \
	do                                                                                             \
	{                                                                                              \
		LWLockRelease(vrx_shared_config->lock);                                                    \
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE), errmsg(__VA_ARGS__)));  \
	} while (0)

// The elements of an oid[] argument, refused unless one-dimensional, without
// NULLs and at most VRX_MAX_LIST long.  Checked before anything changes.
static int oid_array_elements(ArrayType *array, Oid **elements, const char *what)
{
	if (ARR_NDIM(array) > 1 || array_contains_nulls(array))
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		                errmsg("The %s list must be a one-dimensional array without NULL elements.",
		                       what)));
	int n = ArrayGetNItems(ARR_NDIM(array), ARR_DIMS(array));
	if (n > VRX_MAX_LIST)
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		                errmsg("A trace can follow at most %d %s; %d were given.", VRX_MAX_LIST,
		                       what, n)));
	*elements = n > 0 ? reinterpret_cast<Oid *>(ARR_DATA_PTR(array)) : nullptr;
	return n;
}

// Makes sure the traces root and the new trace's directory exist.
static void make_trace_directory(const char *trace_id)
{
	struct stat st;
	char path[VRX_PATH_MAX];

	if (stat(VRX_TRACES_ROOT, &st) != 0)
	{
		if (errno != ENOENT)
			activation_error("Couldn't read trace directory (%s)", VRX_TRACES_ROOT);
		if (mkdir(VRX_TRACES_ROOT, 0777) != 0)
			activation_error("Could not create the trace directory (%s).", VRX_TRACES_ROOT);
	}
	else if (!S_ISDIR(st.st_mode))
		activation_error("trace path \"%s\" is not a directory", VRX_TRACES_ROOT);

	vrx_trace_dir_path(path, trace_id);
	if (stat(path, &st) != 0)
	{
		// A cleanup of all traces removes the traces root once it is empty,
		// possibly just after the test above: make the root again and retry.
		int rc;
		for (int tries = 0; (rc = mkdir(path, 0777)) != 0 && errno == ENOENT && tries < 10; tries++)
			(void) mkdir(VRX_TRACES_ROOT, 0777);
		if (rc != 0)
			activation_error("Couldn't create the trace path \"%s\"", path);
	}
	else if (!S_ISDIR(st.st_mode))
		activation_error("trace path \"%s\" is not a directory", path);
}

// Whether the trace directory of trace_id exists and holds anything.  The
// activation counter starts again at 0 when the server restarts, so an
// identifier made after a restart can name the directory of a trace from
// before it; that directory is never taken over, since its descriptor would
// be overwritten and its data files read as the new trace's.
static bool trace_directory_in_use(const char *trace_id)
{
	char path[VRX_PATH_MAX];
	struct stat st;

	vrx_trace_dir_path(path, trace_id);
	if (lstat(path, &st) != 0)
		return false;
	if (!S_ISDIR(st.st_mode))
		return S_ISLNK(st.st_mode); // never write through a planted link
	DIR *dir = AllocateDir(path);
	if (dir == nullptr)
		return true;
	bool used = false;
	struct dirent *de;
	while (!used && (de = ReadDir(dir, path)) != nullptr)
		used = strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0;
	FreeDir(dir);
	return used;
}

// The identifier: the statement start in UTC as %Y%m%d%H%M%S, then the
// activation counter as %06d.
static void make_trace_id(char (&trace_id)[VRX_TRACE_ID_LEN + 1], TimestampTz start, uint16 seq)
{
	time_t seconds = static_cast<time_t>(timestamptz_to_time_t(start));
	struct tm utc;
	gmtime_r(&seconds, &utc);
	strftime(trace_id, sizeof(trace_id), "%Y%m%d%H%M%S", &utc);
	snprintf(trace_id + 14, sizeof(trace_id) - 14, "%06d", static_cast<int>(seq));
}

Datum vr_activate(PG_FUNCTION_ARGS)
{
	const Oid user = GetUserId();
	char *comment = PG_ARGISNULL(0) ? nullptr : text_to_cstring(PG_GETARG_TEXT_PP(0));

	vrx_require_registry();
	if (comment == nullptr)
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		                errmsg("Please provide a proper comment to the trace.")));

	const TimestampTz start = GetCurrentStatementStartTimestamp();
	TimestampTz end_time = 0;
	if (!PG_ARGISNULL(5))
	{
		Datum limit = PG_GETARG_DATUM(5);
		Interval *zero = static_cast<Interval *>(palloc0(sizeof(Interval)));
		if (DatumGetBool(DirectFunctionCall2(interval_le, limit, IntervalPGetDatum(zero))))
			ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
			                errmsg("The time limit must be not be negative or equal to zero.")));
		end_time = DatumGetTimestampTz(
		    DirectFunctionCall2(timestamptz_pl_interval, TimestampTzGetDatum(start), limit));
	}

	Oid *users = nullptr;
	Oid *databases = nullptr;
	const bool users_given = !PG_ARGISNULL(1);
	const int n_users =
	    users_given ? oid_array_elements(PG_GETARG_ARRAYTYPE_P(1), &users, "users") : 0;
	const int n_databases =
	    PG_ARGISNULL(2) ? 0 : oid_array_elements(PG_GETARG_ARRAYTYPE_P(2), &databases, "databases");

	vrx_trace_registry *registry = vrx_shared_config;
	LWLockAcquire(registry->lock, LW_EXCLUSIVE);

	vrx_trace_slot *slot = nullptr;
	for (auto &candidate : registry->slots)
	{
		if (candidate.start_time == 0)
		{
			slot = &candidate;
			break;
		}
	}
	if (slot == nullptr)
	{
		LWLockRelease(registry->lock);
		ereport(ERROR, (errcode(ERRCODE_OBJECT_IN_USE),
		                errmsg("No more sql-profiling allowed. Maximum number of allowed traces "
		                       "has been reached.")));
	}

	// The counter moves past identifiers whose directories are in use.
	uint16 seq = registry->activation_seq;
	make_trace_id(slot->trace_id, start, seq);
	for (int tries = 1; tries <= PG_UINT16_MAX && trace_directory_in_use(slot->trace_id); tries++)
		make_trace_id(slot->trace_id, start, ++seq);
	make_trace_directory(slot->trace_id);

	memset(slot->users_list, 0, sizeof(slot->users_list));
	const bool privileged = vrx_caller_is_privileged();
	if (!privileged)
	{
		slot->users_list[0] = user;
		for (int i = 0; i < n_users; i++)
		{
			if (users[i] != user)
				activation_error("You need to have super-user/vireo_admin previlages to activate "
				                 "trace for the other users.");
		}
	}
	else
	{
		for (int i = 0; i < n_users; i++)
		{
			if (!SearchSysCacheExists1(AUTHOID, ObjectIdGetDatum(users[i])))
				activation_error("\"%u\" is not a valid user-oid", users[i]);
			slot->users_list[i] = users[i];
		}
	}

	memset(slot->database_list, 0, sizeof(slot->database_list));
	for (int i = 0; i < n_databases; i++)
	{
		if (!SearchSysCacheExists1(DATABASEOID, ObjectIdGetDatum(databases[i])))
			activation_error("\"%u\" is not a valid database-oid", databases[i]);
		slot->database_list[i] = databases[i];
	}

	slot->max_size = PG_ARGISNULL(3) ? 0 : static_cast<int64>(PG_GETARG_INT32(3)) * 1048576;
	slot->curr_log_size = 0;
	slot->log_min_duration = PG_ARGISNULL(4) ? 0 : Max(PG_GETARG_INT32(4), 0);
	slot->owner = user;
	slot->end_time = end_time;
	slot->version = vrx_session_trace_version();
	slot->start_time = start;

	text *result = cstring_to_text_with_len(slot->trace_id, VRX_TRACE_ID_LEN);

	registry->active_count++;
	registry->activation_seq = static_cast<uint16>(seq + 1);
	registry->last_change = start;

	vrx_save_trace(slot, comment, VRX_STATUS_ACTIVE);

	LWLockRelease(registry->lock);
	PG_RETURN_TEXT_P(result);
}

int deactivate_trace(const char *trace_id, bool report)
{
	vrx_trace_registry *registry = vrx_shared_config;

	LWLockAcquire(registry->lock, LW_EXCLUSIVE);
	vrx_trace_slot *slot = find_trace(trace_id, true);
	if (slot == nullptr)
	{
		LWLockRelease(registry->lock);
		if (report)
			ereport(WARNING, (errcode(ERRCODE_INVALID_NAME),
			                  errmsg("Could not find the trace (%s)", trace_id)));
		return VRX_NOT_FOUND;
	}

	if (!superuser() && slot->owner != GetUserId() && !role_has_profiler_privilege())
	{
		LWLockRelease(registry->lock);
		if (report)
			ereport(ERROR, (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
			                errmsg("Trace (%s) is not intiated by this user. Only the "
			                       "super-user/vireo_admin or the user who intiated the trace "
			                       "can deactivate it.",
			                       trace_id)));
		return VRX_NOT_PERMITTED;
	}

	vrx_save_trace(slot, nullptr, VRX_STATUS_DEACTIVATED);
	LWLockRelease(registry->lock);
	return VRX_DEACTIVATED;
}

Datum vr_deactivate(PG_FUNCTION_ARGS)
{
	vrx_require_registry();
	if (PG_ARGISNULL(0))
		vrx_check_trace_id("");
	char *trace_id = text_to_cstring(PG_GETARG_TEXT_PP(0));
	vrx_check_trace_id(trace_id);
	PG_RETURN_BOOL(deactivate_trace(trace_id, true) == VRX_DEACTIVATED);
}
