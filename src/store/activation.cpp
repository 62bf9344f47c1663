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
#include "store/trace_quota.hpp"

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

// Activation errors: none is raised while the registry lock is held.
#define activation_error(...)                                                                      \
	ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE), errmsg(__VA_ARGS__)))

// The registry is full: no slot the caller may take, or no identifier left
// in the second of second_of (when given).
static void no_slot_error(const char *second_of = nullptr)
{
	ereport(ERROR, (errcode(ERRCODE_OBJECT_IN_USE),
	                errmsg("No more sql-profiling allowed. Maximum number of allowed traces "
	                       "has been reached."),
	                second_of != nullptr
	                    ? errdetail("Every trace identifier of the second %.14s is taken.",
	                                second_of)
	                    : 0));
}

// The lowest free slot that the caller may take, or -1.  The last
// VRX_RESERVED_TRACES free slots are kept for superusers and members of
// vireo_admin, so that plain users tracing themselves can never lock a DBA
// out.  The caller holds the registry lock.
static int free_slot_for(bool privileged)
{
	vrx_trace_registry *registry = vrx_shared_config;
	int first_free = -1;
	int free_slots = 0;

	for (int i = 0; i < VRX_MAX_TRACES; i++)
	{
		if (registry->slots[i].start_time != 0)
			continue;
		if (first_free < 0)
			first_free = i;
		free_slots++;
	}
	if (free_slots == 0 || (!privileged && free_slots <= VRX_RESERVED_TRACES))
		return -1;
	return first_free;
}

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

// The identifier: the statement start in UTC as %Y%m%d%H%M%S, then the
// suffix as %06d.
static void make_trace_id(char (&trace_id)[VRX_TRACE_ID_LEN + 1], TimestampTz start, uint32 suffix)
{
	time_t seconds = static_cast<time_t>(timestamptz_to_time_t(start));
	struct tm utc;
	gmtime_r(&seconds, &utc);
	strftime(trace_id, sizeof(trace_id), "%Y%m%d%H%M%S", &utc);
	snprintf(trace_id + 14, sizeof(trace_id) - 14, "%06u", suffix);
}

// What stopped an activation; reported once no lock is held.
enum class activation_failure
{
	none,
	no_slot,
	no_identifier,
	root_unreadable,
	root_not_made,
	root_not_directory,
	trace_dir_not_made,
	descriptor_not_written,
};

struct activation_outcome
{
	activation_failure failure;
	char path[VRX_PATH_MAX];
	vrx_descriptor_failure descriptor;
};

// Makes sure the traces root exists.
static activation_failure make_traces_root(void)
{
	const char *root = vrx_traces_root();
	struct stat st;

	if (stat(root, &st) != 0)
	{
		if (errno != ENOENT)
			return activation_failure::root_unreadable;
		if (mkdir(root, 0777) != 0 && errno != EEXIST)
			return activation_failure::root_not_made;
	}
	else if (!S_ISDIR(st.st_mode))
		return activation_failure::root_not_directory;
	return activation_failure::none;
}

// Claims a new identifier of the statement's second by making its trace
// directory: mkdir either makes the directory, and the identifier is this
// activation's, or finds the name taken, by a trace of this server's life or
// of an earlier one (the suffixes start again at 0 after a restart), or by
// anything else; then the next suffix is tried.  Identifiers are therefore
// never reused while their directory exists, and no lock is held meanwhile.
// The suffixes count up from one activation to the next.
static activation_failure claim_trace_id(vrx_trace_slot &draft, uint32 *suffix,
                                         char (&path)[VRX_PATH_MAX])
{
	vrx_trace_registry *registry = vrx_shared_config;

	activation_failure failure = make_traces_root();
	if (failure != activation_failure::none)
		return failure;

	const uint32 first = pg_atomic_fetch_add_u32(&registry->next_suffix, 1);
	for (uint32 tries = 0; tries < VRX_SUFFIXES_PER_SECOND; tries++)
	{
		// Nothing is claimed yet: a cancel may stop the search.
		CHECK_FOR_INTERRUPTS();
		*suffix = (first + tries) % VRX_SUFFIXES_PER_SECOND;
		make_trace_id(draft.trace_id, draft.start_time, *suffix);
		vrx_trace_dir_path(path, draft.trace_id);

		// A cleanup of all traces removes the traces root once it is empty,
		// possibly just after it was made: make it again and retry.
		int rc;
		for (int again = 0; (rc = mkdir(path, 0777)) != 0 && errno == ENOENT && again < 10; again++)
			(void) mkdir(vrx_traces_root(), 0777);
		if (rc == 0)
		{
			// The next activation starts after this one, unless others
			// moved the counter meanwhile.
			uint32 expected = first + 1;
			if (tries > 0)
				(void) pg_atomic_compare_exchange_u32(&registry->next_suffix, &expected,
				                                      first + tries + 1);
			return activation_failure::none;
		}
		if (errno != EEXIST)
			return activation_failure::trace_dir_not_made;
	}
	return activation_failure::no_identifier;
}

// Undoes the directory and the first descriptor of an activation that
// failed after making them.
static void release_trace_directory(const char *trace_id)
{
	char path[VRX_PATH_MAX];

	vrx_trace_file_path(path, trace_id, VRX_DESCRIPTOR_NAME);
	(void) unlink(path);
	vrx_trace_dir_path(path, trace_id);
	(void) rmdir(path);
}

// The part of an activation made under the registry lock held exclusively,
// so that no cleanup or listing ever sees the new trace half made: take a
// slot, write the descriptor into the claimed directory, fill the slot.
// Plain system calls and memory writes only, nothing that can raise; what
// failed is returned, to be raised once the lock is released.
static void activate_locked(const vrx_trace_slot &draft, uint32 suffix, const vrx_trace_options &options,
                            const StringInfoData &descriptor, bool privileged,
                            activation_outcome &outcome)
{
	vrx_trace_registry *registry = vrx_shared_config;

	const int index = free_slot_for(privileged);
	if (index < 0)
	{
		outcome.failure = activation_failure::no_slot;
		return;
	}
	if (!vrx_write_descriptor_file(draft.trace_id, descriptor, &outcome.descriptor))
	{
		outcome.failure = activation_failure::descriptor_not_written;
		return;
	}

	registry->slots[index] = draft;
	registry->active_count++;
	registry->activation_seq = static_cast<uint16>(suffix + 1);
	registry->last_change = draft.start_time;
	vrx_start_slot(index, pg_atomic_read_u64(&registry->change_count) + 1, options);
}

static void report_activation_failure(const activation_outcome &outcome, const char *trace_id)
{
	switch (outcome.failure)
	{
		case activation_failure::none:
			return;
		case activation_failure::no_slot:
			no_slot_error();
			break;
		case activation_failure::no_identifier:
			no_slot_error(trace_id);
			break;
		case activation_failure::root_unreadable:
			activation_error("Couldn't read trace directory (%s)", vrx_traces_root());
			break;
		case activation_failure::root_not_made:
			activation_error("Could not create the trace directory (%s).", vrx_traces_root());
			break;
		case activation_failure::root_not_directory:
			activation_error("trace path \"%s\" is not a directory", vrx_traces_root());
			break;
		case activation_failure::trace_dir_not_made:
			activation_error("Couldn't create the trace path \"%s\"", outcome.path);
			break;
		case activation_failure::descriptor_not_written:
			vrx_report_descriptor_failure(outcome.descriptor, ERROR);
			break;
	}
}

// Everything that can raise is done before the registry lock is taken: the
// arguments and the caller's privileges are checked, the users and
// databases looked up, the descriptor's text built, the caller's ended
// traces counted, the identifier claimed.  Under the lock the trace is made
// whole or not at all, so that a failed activation never leaves a trace
// running, and its directory is removed again.
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
	const int n_users =
	    PG_ARGISNULL(1) ? 0 : oid_array_elements(PG_GETARG_ARRAYTYPE_P(1), &users, "users");
	const int n_databases =
	    PG_ARGISNULL(2) ? 0 : oid_array_elements(PG_GETARG_ARRAYTYPE_P(2), &databases, "databases");

	const bool privileged = vrx_caller_is_privileged();
	const vrx_trace_options options = {vireo_explain_timing, vireo_track_nested, vireo_track_utility};
	// Statements inside functions and utility statements can show what other
	// users' code does (the statements of a SECURITY DEFINER function, DDL
	// texts): only a DBA may ask for them.
	if (!privileged && (options.track_nested || options.track_utility))
		ereport(ERROR,
		        (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
		         errmsg("Only a superuser or a member of vireo_admin may activate a trace with %s on.",
		                options.track_nested ? "vireo.track_nested" : "vireo.track_utility"),
		         errhint("Set it to off in this session, or ask a member of vireo_admin.")));

	vrx_trace_slot draft = {};
	if (!privileged)
	{
		draft.users_list[0] = user;
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
			draft.users_list[i] = users[i];
		}
	}
	for (int i = 0; i < n_databases; i++)
	{
		if (!SearchSysCacheExists1(DATABASEOID, ObjectIdGetDatum(databases[i])))
			activation_error("\"%u\" is not a valid database-oid", databases[i]);
		draft.database_list[i] = databases[i];
	}
	draft.max_size = PG_ARGISNULL(3) ? 0 : static_cast<int64>(PG_GETARG_INT32(3)) * 1048576;
	draft.log_min_duration = PG_ARGISNULL(4) ? 0 : Max(PG_GETARG_INT32(4), 0);
	draft.owner = user;
	draft.end_time = end_time;
	draft.version = vrx_session_trace_version();
	draft.plan_min_duration = vireo_plan_min_duration;
	draft.sample_rate = vireo_sample_rate;
	draft.start_time = start;

	StringInfoData descriptor;
	initStringInfo(&descriptor);
	vrx_format_descriptor(&descriptor, draft, comment, VRX_STATUS_ACTIVE, 0);
	text *result = static_cast<text *>(palloc(VARHDRSZ + VRX_TRACE_ID_LEN));
	activation_outcome *outcome =
	    static_cast<activation_outcome *>(palloc0(sizeof(activation_outcome)));

	vrx_check_traces_root();
	if (!privileged)
		vrx_check_ended_traces(user);

	// A directory is claimed only when a slot may be free; whether one is
	// is settled under the exclusive lock.
	vrx_trace_registry *registry = vrx_shared_config;
	LWLockAcquire(registry->lock, LW_SHARED);
	const bool slot_free = free_slot_for(privileged) >= 0;
	LWLockRelease(registry->lock);
	if (!slot_free)
		no_slot_error();

	uint32 suffix = 0;
	outcome->failure = claim_trace_id(draft, &suffix, outcome->path);
	if (outcome->failure == activation_failure::none)
	{
		LWLockAcquire(registry->lock, LW_EXCLUSIVE);
		activate_locked(draft, suffix, options, descriptor, privileged, *outcome);
		LWLockRelease(registry->lock);
		if (outcome->failure != activation_failure::none)
			release_trace_directory(draft.trace_id);
	}

	report_activation_failure(*outcome, draft.trace_id);
	SET_VARSIZE(result, VARHDRSZ + VRX_TRACE_ID_LEN);
	memcpy(VARDATA(result), draft.trace_id, VRX_TRACE_ID_LEN);
	PG_RETURN_TEXT_P(result);
}

int deactivate_trace(const char *trace_id, bool report)
{
	vrx_trace_registry *registry = vrx_shared_config;
	const bool is_superuser = superuser();
	const Oid user = GetUserId();

	// The slot is looked at under the lock, the privileges (which look the
	// role up and may fail) without it.
	LWLockAcquire(registry->lock, LW_SHARED);
	vrx_trace_slot *slot = find_trace(trace_id, true);
	const int index = slot != nullptr ? static_cast<int>(slot - registry->slots) : -1;
	const uint64 generation = slot != nullptr ? vrx_slot_generation(index) : 0;
	const Oid owner = slot != nullptr ? slot->owner : InvalidOid;
	LWLockRelease(registry->lock);

	if (slot != nullptr && !is_superuser && owner != user && !role_has_profiler_privilege())
	{
		if (report)
			ereport(ERROR, (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
			                errmsg("Trace (%s) is not intiated by this user. Only the "
			                       "super-user/vireo_admin or the user who intiated the trace "
			                       "can deactivate it.",
			                       trace_id)));
		return VRX_NOT_PERMITTED;
	}

	vrx_trace_slot ended;
	TimestampTz finish_time;
	if (slot == nullptr || !vrx_end_trace(index, generation, &ended, &finish_time))
	{
		if (report)
			ereport(WARNING, (errcode(ERRCODE_INVALID_NAME),
			                  errmsg("Could not find the trace (%s)", trace_id)));
		return VRX_NOT_FOUND;
	}
	vrx_save_trace(ended, VRX_STATUS_DEACTIVATED, finish_time, WARNING);
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
