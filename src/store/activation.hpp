// Starting and ending traces, and the privilege test the trace functions share.
#pragma once

#include "frame/pg.hpp"

// Outcomes of deactivate_trace.
constexpr int VRX_DEACTIVATED = 0;
constexpr int VRX_NOT_FOUND = 2;
constexpr int VRX_NOT_PERMITTED = 3;

extern "C" {
// Whether the current user has the privileges of the role vireo_admin.
bool role_has_profiler_privilege(void);
}

// Ends the active trace trace_id on request.  With report, problems are
// reported as messages (a refusal as an ERROR); without, only returned.
int deactivate_trace(const char *trace_id, bool report);

// Superuser, or holder of vireo_admin's privileges.
bool vrx_caller_is_privileged(void);
