#include "frame/registry.hpp"

#include "frame/hooks.hpp"

static_assert(sizeof(Oid) == sizeof(uint32), "oid lists are stored as uint32");

vrx_trace_registry *vrx_shared_config = nullptr;
bool in_attach = false;

static constexpr const char *REGISTRY_NAME = "ko_vireo";
static constexpr const char *TRANCHE_NAME = "vireo";

void vrx_request_registry(void)
{
	RequestAddinShmemSpace(sizeof(vrx_trace_registry));
	RequestNamedLWLockTranche(TRANCHE_NAME, 1);
}

void vrx_shmem_startup(void)
{
	bool found;

	if (!in_attach && vrx_prev_shmem_startup_hook)
		vrx_prev_shmem_startup_hook();

	vrx_shared_config = nullptr;

	LWLockAcquire(AddinShmemInitLock, LW_EXCLUSIVE);
	auto *registry = static_cast<vrx_trace_registry *>(
	    ShmemInitStruct(REGISTRY_NAME, sizeof(vrx_trace_registry), &found));
	if (registry == nullptr)
		elog(ERROR, "vireo: out of shared memory");
	if (!found)
	{
		memset(registry, 0, sizeof(vrx_trace_registry));
		registry->lock = &(GetNamedLWLockTranche(TRANCHE_NAME))->lock;
		pg_atomic_init_u64(&registry->change_count, 0);
		for (auto &state : registry->live)
		{
			pg_atomic_init_u64(&state.generation, 0);
			pg_atomic_init_u64(&state.log_size, 0);
			pg_atomic_init_u64(&state.running, 0);
		}
		pg_atomic_init_u32(&registry->next_suffix, 0);
		SpinLockInit(&registry->space.mutex);
	}
	vrx_shared_config = registry;
	LWLockRelease(AddinShmemInitLock);

	if (!IsUnderPostmaster)
		on_shmem_exit(vrx_shmem_shutdown, (Datum) 0);
}

void vrx_shmem_shutdown(int, Datum)
{
	// The registry goes away with shared memory; nothing to save.
}

void vrx_start_slot(int slot_index, uint64 generation, const vrx_trace_options &options)
{
	vrx_trace_registry *registry = vrx_shared_config;
	vrx_slot_state &state = registry->live[slot_index];

	registry->slots[slot_index].curr_log_size = 0;
	registry->slots[slot_index].running_queries = 0;
	state.options = options;
	pg_atomic_write_u64(&state.log_size, generation << VRX_LOG_SIZE_TAG_SHIFT);
	pg_atomic_write_u64(&state.running, generation << VRX_RUNNING_TAG_SHIFT);
	// Whoever sees the new generation sees the counters reset.
	pg_write_barrier();
	pg_atomic_write_u64(&state.generation, generation);
	pg_atomic_write_u64(&registry->change_count, generation);

	// Whatever earlier looks at the file system allowed is forgotten, and so
	// is any look under way: the new trace's first record looks afresh.
	SpinLockAcquire(&registry->space.mutex);
	registry->space.allowed_until = registry->space.reserved;
	registry->space.looked_at = registry->space.reserved;
	SpinLockRelease(&registry->space.mutex);
}

void vrx_free_slot(int slot_index, TimestampTz last_change)
{
	vrx_trace_registry *registry = vrx_shared_config;

	registry->slots[slot_index].start_time = 0;
	pg_atomic_write_u64(&registry->live[slot_index].generation, 0);
	registry->active_count--;
	registry->last_change = last_change;
	pg_atomic_write_u64(&registry->change_count, pg_atomic_read_u64(&registry->change_count) + 1);
}

bool vrx_end_trace(int slot_index, uint64 generation, vrx_trace_slot *ended,
                   TimestampTz *finish_time)
{
	vrx_trace_registry *registry = vrx_shared_config;
	const TimestampTz now = GetCurrentTimestamp();

	LWLockAcquire(registry->lock, LW_EXCLUSIVE);
	const bool ours = vrx_slot_generation(slot_index) == generation;
	if (ours)
	{
		*ended = registry->slots[slot_index];
		vrx_free_slot(slot_index, now);
	}
	LWLockRelease(registry->lock);
	*finish_time = now;
	return ours;
}

void vrx_drop_trace(int slot_index, uint64 generation)
{
	vrx_trace_registry *registry = vrx_shared_config;

	LWLockAcquire(registry->lock, LW_EXCLUSIVE);
	if (vrx_slot_generation(slot_index) == generation)
		vrx_free_slot(slot_index, 0);
	LWLockRelease(registry->lock);
}

vrx_trace_slot *find_trace(const char *trace_id, bool raise_if_inactive)
{
	vrx_trace_registry *registry = vrx_shared_config;

	if (registry->active_count == 0)
	{
		if (raise_if_inactive)
		{
			LWLockRelease(registry->lock);
			ereport(ERROR, (errcode(ERRCODE_NO_DATA_FOUND), errmsg("vireo is not active.")));
		}
		return nullptr;
	}
	for (auto &slot : registry->slots)
	{
		if (slot.start_time != 0 && strncmp(trace_id, slot.trace_id, VRX_TRACE_ID_LEN) == 0)
			return &slot;
	}
	return nullptr;
}

void vrx_require_registry(void)
{
	if (vrx_shared_config == nullptr)
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		                errmsg("vireo must be loaded via shared_preload_libraries")));
}

int vrx_list_length(const uint32 *list)
{
	int n = 0;
	while (n < VRX_MAX_LIST && list[n] != 0)
		n++;
	return n;
}

Datum vrx_list_to_oidvector(const uint32 *list, bool *isnull)
{
	int n = vrx_list_length(list);
	*isnull = (n == 0);
	if (n == 0)
		return (Datum) 0;
	return PointerGetDatum(buildoidvector(reinterpret_cast<const Oid *>(list), n));
}
