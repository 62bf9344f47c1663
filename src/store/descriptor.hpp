// The trace descriptor file "traces/<id>/trace.ini": what a trace is, kept on
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
};

// Reads and checks the descriptor of trace_id.  False when it is missing,
// unreadable, malformed or written under the other explain format; the
// strings are then unset.
bool load_trace_ini(const char *trace_id, vrx_trace_descriptor *descriptor);

// Frees the two strings of a descriptor that load_trace_ini filled.
void vrx_free_descriptor(vrx_trace_descriptor *descriptor);

// Writes the descriptor of the trace that slot describes (a copy taken
// under the registry lock; this function takes no lock) with status and
// comment, or with no comment the comment of the existing descriptor,
// whatever its trace version.  For statuses 2 to 4, finish_time is the
// moment the trace ended.  A descriptor that cannot be written is reported
// as a WARNING and the old one stays.
void vrx_save_trace(const vrx_trace_slot &slot, const char *comment, uint16 status,
                    TimestampTz finish_time);

// The descriptor's text, as vrx_save_trace writes it.
void vrx_format_descriptor(StringInfo text, const vrx_trace_slot &slot, const char *comment,
                           uint16 status, TimestampTz finish_time);

// Why a descriptor could not be written.
struct vrx_descriptor_failure
{
	const char *step; // "create", "write" or "rename" of the temporary file
	int error;        // errno
	char path[VRX_PATH_MAX];
	char temp_path[VRX_PATH_MAX];
};

// Replaces trace.ini with text: written to a temporary file first and renamed
// over the old descriptor, so that a reader never sees a partial descriptor
// and a failed write keeps the old one.  Plain system calls only, nothing
// that raises: false with *failure filled when it failed.
bool vrx_write_descriptor_file(const char *trace_id, const StringInfoData &text,
                               vrx_descriptor_failure *failure);

// Reports a failure of vrx_write_descriptor_file at elevel, with its reason.
void vrx_report_descriptor_failure(const vrx_descriptor_failure &failure, int elevel);

// vrx_write_descriptor_file, with a failure reported as a WARNING.
void vrx_replace_descriptor(const char *trace_id, const StringInfoData &text);
