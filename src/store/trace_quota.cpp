// Each activation leaves a trace directory behind, which stays until it is
// removed.  Plain users may keep only so many ended traces, so that nobody
// fills the traces' file system (or the identifiers of a second) by
// activating in a loop.
#include "store/trace_quota.hpp"

#include "frame/registry.hpp"
#include "frame/settings.hpp"
#include "store/descriptor.hpp"
#include "store/paths.hpp"

// The identifiers of the running traces, copied under the registry lock.
struct running_ids
{
	int count;
	char ids[VRX_MAX_TRACES][VRX_TRACE_ID_LEN + 1];
};

static bool is_running(const running_ids &running, const char *trace_id)
{
	for (int i = 0; i < running.count; i++)
	{
		if (strcmp(running.ids[i], trace_id) == 0)
			return true;
	}
	return false;
}

// The traces of user on disk that do not run, of either explain format;
// counting stops at limit.
static int count_ended_traces(Oid user, int limit)
{
	vrx_trace_registry *registry = vrx_shared_config;
	running_ids running = {};

	LWLockAcquire(registry->lock, LW_SHARED);
	for (int i = 0; i < VRX_MAX_TRACES; i++)
	{
		if (registry->slots[i].start_time != 0)
			memcpy(running.ids[running.count++], registry->slots[i].trace_id,
			       sizeof(running.ids[0]));
	}
	LWLockRelease(registry->lock);

	DIR *root = AllocateDir(vrx_traces_root());
	if (root == nullptr)
		return 0;
	MemoryContext caller = CurrentMemoryContext;
	MemoryContext scratch = AllocSetContextCreate(caller, "vireo ended traces", ALLOCSET_SMALL_SIZES);
	int ended = 0;
	struct dirent *de;
	while (ended < limit && (de = ReadDir(root, vrx_traces_root())) != nullptr)
	{
		if (!vrx_is_trace_id(de->d_name) || is_running(running, de->d_name))
			continue;
		MemoryContextSwitchTo(scratch);
		vrx_trace_descriptor d;
		if (vrx_read_any_descriptor(de->d_name, &d) && static_cast<Oid>(d.owner) == user)
			ended++;
		MemoryContextSwitchTo(caller);
		MemoryContextReset(scratch);
	}
	MemoryContextDelete(scratch);
	FreeDir(root);
	return ended;
}

void vrx_check_ended_traces(Oid user)
{
	const int limit = vireo_max_ended_traces_per_user;
	if (limit < 0)
		return;

	const int ended = count_ended_traces(user, limit);
	if (ended >= limit)
		ereport(ERROR,
		        (errcode(ERRCODE_CONFIGURATION_LIMIT_EXCEEDED),
		         errmsg("You keep %d ended traces; vireo.max_ended_traces_per_user allows %d.",
		                ended, limit),
		         errhint("Remove the traces you no longer need with vr_cleanup('<trace id>'), or "
		                 "all of yours with vr_cleanup().  JSON traces are removed after SET "
		                 "vireo.explain_format = json.")));
}
