// The trace descriptor file "traces/<id>/trace.ini": what a trace is, kept on
// disk beyond the life of the registry.
#pragma once

#include "frame/pg.hpp"
#include "frame/registry.hpp"

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
};

// Reads and checks the descriptor of trace_id.  False when it is missing,
// unreadable, malformed or written under the other explain format; the
// strings are then unset.
bool load_trace_ini(const char *trace_id, vrx_trace_descriptor *descriptor);

// Frees the two strings of a descriptor that load_trace_ini filled.
void vrx_free_descriptor(vrx_trace_descriptor *descriptor);

// Writes the slot's descriptor whole, with the given status and comment (or,
// with none, the comment of the existing descriptor).  For statuses 2 to 4 it
// also ends the trace in the registry.  Takes ownership of comment.  The
// caller holds the registry lock exclusively.
void vrx_save_trace(vrx_trace_slot *slot, char *comment, uint16 status);
