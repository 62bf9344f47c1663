// The shared trace registry: one fixed block of shared memory, guarded by one
// lightweight lock, through which all server processes agree on which traces
// are active.
#pragma once

#include "frame/pg.hpp"

constexpr int VRX_MAX_TRACES = 15;   // trace slots in the registry
constexpr int VRX_MAX_LIST = 10;     // users or databases per trace
constexpr int VRX_TRACE_ID_LEN = 20; // characters of a trace identifier

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
};

struct vrx_trace_registry
{
	LWLock *lock;
	uint16 active_count;   // slots in use
	uint16 activation_seq; // raised at every activation, wraps at 65536
	vrx_trace_slot slots[VRX_MAX_TRACES];
	TimestampTz last_change; // with activation_seq, the change signature
};

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
