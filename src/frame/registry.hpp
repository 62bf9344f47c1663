// The shared trace registry: one fixed block of shared memory, guarded by one
// lightweight lock, through which all server processes agree on which traces
// are active.
#pragma once

#include "frame/pg.hpp"

extern "C" {
#include "storage/spin.h"
}

constexpr int VRX_MAX_TRACES = 15;   // trace slots in the registry
constexpr int VRX_MAX_LIST = 10;     // users or databases per trace
constexpr int VRX_TRACE_ID_LEN = 20; // characters of a trace identifier
constexpr int VRX_RESERVED_TRACES = 3; // the last free slots, kept for superusers and vireo_admin
// Identifiers of one second: the six-digit suffix runs from 000000 to 065535.
constexpr uint32 VRX_SUFFIXES_PER_SECOND = 65536;

// One active trace.  A slot is free exactly when start_time is 0; start_time
// also tells a backend whether the slot still holds the trace it copied.
struct vrx_trace_slot
{
	int64 max_size;         // bytes; 0 = no limit
	int64 curr_log_size;    // bytes written by all backends so far
	int32 log_min_duration; // milliseconds, never negative
	char trace_id[VRX_TRACE_ID_LEN + 1];
	uint32 owner;                       // role that activated the trace
	TimestampTz start_time;             // 0 = slot free
	TimestampTz end_time;               // 0 = no time limit
	int32 running_queries;              // statements of the trace inside an executor run
	uint32 database_list[VRX_MAX_LIST]; // first 0 ends the list; all 0 = any
	uint32 users_list[VRX_MAX_LIST];    // same rules
	double version;                     // 3.0 text EXPLAIN, 4.0 JSON EXPLAIN
	// Milliseconds a statement must run for its record to carry its plan;
	// -1: every record carries it.
	int32 plan_min_duration;
	// Probability that a statement of the client, with the statements it
	// runs, is recorded: 0 to 1.
	double sample_rate;
};

// How a trace records, beyond the slot's fields: chosen at activation from
// the activating session's settings.
struct vrx_trace_options
{
	bool explain_timing; // plans with per-node times
	bool track_nested;   // also the statements that functions run
	bool track_utility;  // also the statements that never reach the executor
};

// What a slot holds beyond the fields other modules know: the trace's
// identity and the counters that change with every statement it records,
// which backends update without the registry lock.  Each counter carries the
// low bits of its trace's generation above its value, so that a backend still
// holding a trace that has ended can never count into the trace that took
// the slot over.
struct vrx_slot_state
{
	pg_atomic_uint64 generation; // generation of the trace in the slot; 0 = free
	pg_atomic_uint64 log_size;   // generation tag | bytes written by all backends
	pg_atomic_uint64 running;    // generation tag | statements inside an executor run
	vrx_trace_options options;   // set at activation
};

// What the backends together may still write into data files before one of
// them looks at the file system again (the free-space floor).  Counted in
// bytes reserved since the server started, so that a look can tell which
// reservations it has seen.  Guarded by its spinlock, held for a few
// instructions only.
struct vrx_space_budget
{
	slock_t mutex;
	uint64 reserved;      // bytes reserved by all backends so far, never lowered
	uint64 in_flight;     // bytes reserved for records not written yet
	uint64 allowed_until; // reserved may grow up to this without a look
	uint64 looked_at;     // reserved when the newest look began
	int floor_setting;    // vireo.min_free_space the newest look applied
};

struct vrx_trace_registry
{
	LWLock *lock;
	uint16 active_count;   // slots in use
	uint16 activation_seq; // raised at every activation, wraps at 65536
	vrx_trace_slot slots[VRX_MAX_TRACES];
	TimestampTz last_change; // set at every activation and end of a trace

	// The fields above keep the layout other modules may know.  A slot's
	// curr_log_size and running_queries are not kept up to date there: the
	// counters below hold them.

	// Raised (under the lock held exclusively) at every activation and every
	// end of a trace, so it is the change signature that backends compare
	// without the lock; an activation's new value is the trace's generation,
	// which is therefore unique for the life of the server.
	pg_atomic_uint64 change_count;
	vrx_slot_state live[VRX_MAX_TRACES];

	// Where the next activation begins to look for a free identifier
	// suffix; activations claim identifiers without the lock.
	pg_atomic_uint32 next_suffix;
	vrx_space_budget space;
};

// Where the generation tag sits in each counter.
constexpr int VRX_LOG_SIZE_TAG_SHIFT = 52; // 4 PB of trace data per trace
constexpr int VRX_RUNNING_TAG_SHIFT = 32;

// Adds delta to the value of a tagged counter if the counter still belongs
// to the trace of generation.  False, changing nothing, when another trace
// owns it now; otherwise *value is the value after the addition.
inline bool vrx_counter_add(volatile pg_atomic_uint64 *counter, int shift, uint64 generation,
                            int64 delta, uint64 *value)
{
	const uint64 value_mask = (UINT64CONST(1) << shift) - 1;
	const uint64 tag = generation << shift;
	uint64 old = pg_atomic_read_u64(counter);
	for (;;)
	{
		if ((old & ~value_mask) != tag)
			return false;
		const uint64 next = tag | ((old + static_cast<uint64>(delta)) & value_mask);
		if (pg_atomic_compare_exchange_u64(counter, &old, next))
		{
			*value = next & value_mask;
			return true;
		}
	}
}

// The value of a tagged counter for the trace of generation; 0 when another
// trace owns it.
inline uint64 vrx_counter_value(volatile pg_atomic_uint64 *counter, int shift, uint64 generation)
{
	const uint64 value_mask = (UINT64CONST(1) << shift) - 1;
	const uint64 current = pg_atomic_read_u64(counter);
	return (current & ~value_mask) == (generation << shift) ? current & value_mask : 0;
}

extern "C" {
// Null until this process has attached the registry; stays null in a server
// that did not preload the module.
extern vrx_trace_registry *vrx_shared_config;
}

// Set while the executor-start hook attaches the registry itself, so that the
// previous startup hook is not run a second time.
extern bool in_attach;

// Requests the registry's shared memory and its lock tranche.
void vrx_request_registry(void);

void vrx_shmem_startup(void);
void vrx_shmem_shutdown(int code, Datum arg);

// Makes slot the home of a new trace of generation: its counters start at 0,
// and the next record of any backend looks at the free space afresh.  The
// caller holds the registry lock exclusively and has filled the slot.
void vrx_start_slot(int slot_index, uint64 generation, const vrx_trace_options &options);

// Frees the slot of an ending trace; last_change as given.  The caller holds
// the registry lock exclusively.
void vrx_free_slot(int slot_index, TimestampTz last_change);

// The generation of the trace in a slot (0 when free), read without the lock.
inline uint64 vrx_slot_generation(int slot_index)
{
	return pg_atomic_read_u64(&vrx_shared_config->live[slot_index].generation);
}

// Ends the trace of generation in its slot, once: frees the slot under the
// registry lock (which the caller must not hold) and copies what the slot
// held into *ended, for the descriptor to be rewritten afterwards without the
// lock.  False when the slot no longer holds that trace.
bool vrx_end_trace(int slot_index, uint64 generation, vrx_trace_slot *ended,
                   TimestampTz *finish_time);

// Frees the slot of the trace of generation, if it still holds it, without
// any descriptor change (last_change 0): the end of a trace whose data could
// not be written.  The caller must not hold the registry lock.
void vrx_drop_trace(int slot_index, uint64 generation);

// Finds the in-use slot of trace_id (compared over 20 characters).  The caller
// holds the registry lock and keeps it while using the slot.  With no trace
// active at all and raise_if_inactive set, releases the lock and raises P0002.
vrx_trace_slot *find_trace(const char *trace_id, bool raise_if_inactive);

// Raises ERROR 55000 unless the registry exists (the module was preloaded).
void vrx_require_registry(void);

// Number of entries of a users or databases list: up to the first 0, at most 10.
int vrx_list_length(const uint32 *list);

// A users or databases list as an oidvector, or null (Datum 0) when empty.
Datum vrx_list_to_oidvector(const uint32 *list, bool *isnull);
