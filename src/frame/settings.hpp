// The module's user settings (vireo.*).
#pragma once

#include "frame/pg.hpp"
#include "frame/pg_compat.hpp"

// Values of vireo.explain_format: the server's own EXPLAIN format codes.
constexpr int VRX_EXPLAIN_TEXT = EXPLAIN_FORMAT_TEXT;
constexpr int VRX_EXPLAIN_JSON = EXPLAIN_FORMAT_JSON;
static_assert(VRX_EXPLAIN_TEXT == 0 && VRX_EXPLAIN_JSON == 2, "EXPLAIN format codes moved");

// Trace format versions: 3.0 records EXPLAIN as text, 4.0 as one JSON object.
constexpr double VRX_VERSION_TEXT = 3.0;
constexpr double VRX_VERSION_JSON = 4.0;

extern bool vireo_enabled;
extern bool vireo_use_array_for_paramas;
extern int vireo_explain_format;
// Whether traces activated by this session time every plan node (off: plans
// with actual rows and buffers but no per-node times, which is much cheaper).
extern bool vireo_explain_timing;
// Whether traces activated by this session also record the statements that
// functions run (PL/pgSQL bodies, DO blocks, triggers), and the utility
// statements that never reach the executor.  Only a superuser or a member of
// vireo_admin may activate a trace with either on.
extern bool vireo_track_nested;
extern bool vireo_track_utility;
// What traces activated by this session record of each statement: its plan
// only when it ran at least vireo.plan_min_duration milliseconds (-1: always),
// and a statement of the client at all with the probability
// vireo.sample_rate, the statements it runs following its lot.
extern int vireo_plan_min_duration;
extern double vireo_sample_rate;
// Megabytes of free space to keep on the file system of the traces root;
// -1 (the default) keeps the larger of 1 GB and 5 % of it, 0 keeps none.
extern int vireo_min_free_space;
// Where traces live: a path relative to the data directory, or absolute.
// Set at server start.
extern char *vireo_directory;
// Traces that have ended which a user who is neither superuser nor member of
// vireo_admin may keep on disk before his activations are refused; -1 for
// no limit.
extern int vireo_max_ended_traces_per_user;

// The longest vireo.directory: the path of a file in a trace directory must
// fit the module's 1024-byte path buffers.
constexpr size_t VRX_DIRECTORY_MAX = 900;

// Defines the settings; called once from _PG_init while preloading.
void vrx_define_settings(void);

// The trace version that this session's vireo.explain_format selects: the
// version new traces get, and the only one the descriptor reader accepts.
inline double vrx_session_trace_version(void)
{
	return vireo_explain_format == VRX_EXPLAIN_JSON ? VRX_VERSION_JSON : VRX_VERSION_TEXT;
}
