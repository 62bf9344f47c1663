// The trace descriptor file "<root>/<id>/trace.ini": what a trace is, kept on
// disk beyond the life of the registry.
#pragma once

#include "frame/pg.hpp"
#include "frame/registry.hpp"
#include "store/paths.hpp"

constexpr uint16 VRX_STATUS_ACTIVE = 1;
constexpr uint16 VRX_STATUS_DEACTIVATED = 2;
constexpr uint16 VRX_STATUS_SIZE_LIMIT = 3;
constexpr uint16 VRX_STATUS_TIME_LIMIT = 4;

constexpr const char *VRX_DESCRIPTOR_NAME = "trace.ini";
// A new descriptor is written here first and then renamed over trace.ini, so
// that readers never see a half-written descriptor.
constexpr const char *VRX_DESCRIPTOR_TEMP_NAME = "trace.ini.tmp";

// A descriptor as read by load_trace_ini.  The two strings are allocated in
// the caller's memory context and belong to the caller.
struct vrx_trace_descriptor
{
	StringInfoData trace_id;
	StringInfoData comments;
	TimestampTz start_time;
	int32 owner;
	uint32 users_list[VRX_MAX_LIST];
	uint32 database_list[VRX_MAX_LIST];
	int64 max_size;
	TimestampTz end_time;
	TimestampTz finish_time;
	int16 status;
	double version;
	int32 plan_min_duration; // -1 when the descriptor does not say
	double sample_rate;      // 1 when the descriptor does not say
};

// Reads and checks the descriptor of trace_id.  False when it is missing,
// unreadable, malformed or written under the other explain format; the
// strings are then unset.
bool load_trace_ini(const char *trace_id, vrx_trace_descriptor *descriptor);

// load_trace_ini for a descriptor of either trace version.
bool vrx_read_any_descriptor(const char *trace_id, vrx_trace_descriptor *descriptor);

// Frees the two strings of a descriptor that load_trace_ini filled.
void vrx_free_descriptor(vrx_trace_descriptor *descriptor);

// Rewrites the descriptor of a trace that ended (statuses 2 to 4) at
// finish_time, from slot (a copy taken under the registry lock; this function
// takes no lock).  The comment keeps the bytes the descriptor holds, whatever
// its trace version; a descriptor that holds none gets the empty comment.
// Plain system calls and malloc only, nothing that raises, so that it may run
// in the executor hooks at any time: a descriptor that cannot be written is
// reported at elevel and the old one stays.
void vrx_save_trace(const vrx_trace_slot &slot, uint16 status, TimestampTz finish_time,
                    int elevel);

// The descriptor's text with comment, as activation writes it.
void vrx_format_descriptor(StringInfo text, const vrx_trace_slot &slot, const char *comment,
                           uint16 status, TimestampTz finish_time);

// Why a descriptor could not be written.
struct vrx_descriptor_failure
{
	const char *step; // "read" the old descriptor; "create", "write" or "rename" the new one
	int error;        // errno
	char path[VRX_PATH_MAX]; // the descriptor
	char file[VRX_PATH_MAX]; // the file the failed step worked on
};

// Replaces trace.ini with text: written to a temporary file first and renamed
// over the old descriptor, so that a reader never sees a partial descriptor
// and a failed write keeps the old one.  Plain system calls only, nothing
// that raises: false with *failure filled when it failed.
bool vrx_write_descriptor_file(const char *trace_id, const StringInfoData &text,
                               vrx_descriptor_failure *failure);

// Reports a failure of a descriptor's writing at elevel, with its reason.
void vrx_report_descriptor_failure(const vrx_descriptor_failure &failure, int elevel);
