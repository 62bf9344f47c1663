// The server hooks that were in place before vireo installed its own; vireo's
// hooks hand on to these (or to the standard executor routines when null).
#pragma once

#include "frame/pg.hpp"

extern shmem_startup_hook_type vrx_prev_shmem_startup_hook;
extern planner_hook_type vrx_prev_planner;
extern ExecutorStart_hook_type vrx_prev_ExecutorStart;
extern ExecutorRun_hook_type vrx_prev_ExecutorRun;
extern ExecutorFinish_hook_type vrx_prev_ExecutorFinish;
extern ExecutorEnd_hook_type vrx_prev_ExecutorEnd;
extern ProcessUtility_hook_type vrx_prev_ProcessUtility;
