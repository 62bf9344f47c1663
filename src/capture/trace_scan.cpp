#include "capture/trace_scan.hpp"

#include "capture/sampling.hpp"
#include "store/descriptor.hpp"

// change_count of the registry at the last scan; no count takes this value.
static uint64 seen_change_count = PG_UINT64_MAX;

// The user whom user_matches of the entries were computed for.
static Oid matched_user = InvalidOid;
static bool any_user_match = false;

void vrx_forget_registry_scan(void)
{
	seen_change_count = PG_UINT64_MAX;
}

void vrx_forget_user_match(void)
{
	matched_user = InvalidOid;
}

static bool list_matches(const uint32 *list, uint32 value)
{
	if (list[0] == 0)
		return true;
	for (int i = 0; i < VRX_MAX_LIST && list[i] != 0; i++)
	{
		if (list[i] == value)
			return true;
	}
	return false;
}

static vrx_open_trace *make_entry(int slot_index, uint64 generation, const vrx_trace_slot &slot,
                                  const vrx_trace_options &options)
{
	auto *entry = static_cast<vrx_open_trace *>(
	    MemoryContextAllocZero(TopMemoryContext, sizeof(vrx_open_trace)));
	entry->slot_index = slot_index;
	entry->fd = -1;
	entry->generation = generation;
	entry->start_time = slot.start_time;
	entry->end_time = slot.end_time;
	entry->max_size = slot.max_size;
	entry->log_min_duration = slot.log_min_duration;
	entry->version = slot.version;
	entry->options = options;
	entry->plan_min_duration = slot.plan_min_duration;
	entry->sample_rate = slot.sample_rate;
	memcpy(entry->users_list, slot.users_list, sizeof(entry->users_list));
	memcpy(entry->trace_id, slot.trace_id, sizeof(entry->trace_id));
	return entry;
}

void vrx_scan_registry(void)
{
	vrx_trace_registry *registry = vrx_shared_config;

	if (pg_atomic_read_u64(&registry->change_count) == seen_change_count)
		return;

	// The slots are copied under the lock and acted on without it.
	vrx_trace_slot slots[VRX_MAX_TRACES];
	uint64 generations[VRX_MAX_TRACES];
	vrx_trace_options options[VRX_MAX_TRACES];
	LWLockAcquire(registry->lock, LW_SHARED);
	const uint64 change_count = pg_atomic_read_u64(&registry->change_count);
	memcpy(slots, registry->slots, sizeof(slots));
	for (int i = 0; i < VRX_MAX_TRACES; i++)
	{
		generations[i] = vrx_slot_generation(i);
		options[i] = registry->live[i].options;
	}
	LWLockRelease(registry->lock);

	bool known[VRX_MAX_TRACES] = {};
	for (vrx_open_trace **link = &vrx_open_traces; *link != nullptr;)
	{
		vrx_open_trace *entry = *link;
		if (generations[entry->slot_index] != entry->generation)
		{
			*link = entry->next;
			vrx_free_open_trace(entry);
			continue;
		}
		known[entry->slot_index] = true;
		link = &entry->next;
	}

	vrx_open_trace **tail = &vrx_open_traces;
	while (*tail != nullptr)
		tail = &(*tail)->next;
	for (int i = 0; i < VRX_MAX_TRACES; i++)
	{
		if (generations[i] == 0 || known[i] || !list_matches(slots[i].database_list, MyDatabaseId))
			continue;
		*tail = make_entry(i, generations[i], slots[i], options[i]);
		tail = &(*tail)->next;
	}

	seen_change_count = change_count;
	matched_user = InvalidOid;
	vrx_sampling = false;
	for (const vrx_open_trace *entry = vrx_open_traces; entry != nullptr; entry = entry->next)
		vrx_sampling = vrx_sampling || entry->sample_rate < 1.0;
	if (!vrx_sampling)
		vrx_sampled_slots = VRX_ALL_SLOTS;

	for (vrx_open_trace *entry = vrx_open_traces; entry != nullptr;)
	{
		vrx_open_trace *next = entry->next;
		if (entry->end_time != 0 && entry->end_time < statement_start)
			vrx_end_trace_from_hook(entry, VRX_STATUS_TIME_LIMIT);
		entry = next;
	}
}

bool vrx_user_is_traced(void)
{
	const Oid user = GetUserId();

	if (user == matched_user)
		return any_user_match;

	matched_user = user;
	any_user_match = false;
	for (vrx_open_trace *entry = vrx_open_traces; entry != nullptr; entry = entry->next)
	{
		entry->user_matches = list_matches(entry->users_list, user);
		any_user_match = any_user_match || entry->user_matches;
	}
	return any_user_match;
}

void vrx_end_trace_from_hook(vrx_open_trace *entry, uint16 status)
{
	vrx_trace_slot ended;
	TimestampTz finish_time;
	if (vrx_end_trace(entry->slot_index, entry->generation, &ended, &finish_time))
		vrx_save_trace(ended, status, finish_time, LOG_SERVER_ONLY);
	vrx_drop_entry(entry);
}

void vrx_abandon_trace(vrx_open_trace *entry)
{
	vrx_drop_trace(entry->slot_index, entry->generation);
	vrx_drop_entry(entry);
}
