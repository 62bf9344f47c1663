// vireo: statement profiler.  Module frame: the magic block, module load and
// unload, and vr_version().
#include "frame/pg.hpp"

#include "capture/executor_hooks.hpp"
#include "capture/planner_hook.hpp"
#include "capture/record_writer.hpp"
#include "capture/transaction_end.hpp"
#include "capture/utility_hook.hpp"
#include "frame/hooks.hpp"
#include "frame/pg_compat.hpp"
#include "frame/registry.hpp"
#include "frame/settings.hpp"

extern "C" {
PG_MODULE_MAGIC;

void _PG_init(void);
void _PG_fini(void);

PG_FUNCTION_INFO_V1(vr_version);
}

shmem_startup_hook_type vrx_prev_shmem_startup_hook = nullptr;
planner_hook_type vrx_prev_planner = nullptr;
ExecutorStart_hook_type vrx_prev_ExecutorStart = nullptr;
ExecutorRun_hook_type vrx_prev_ExecutorRun = nullptr;
ExecutorFinish_hook_type vrx_prev_ExecutorFinish = nullptr;
ExecutorEnd_hook_type vrx_prev_ExecutorEnd = nullptr;
ProcessUtility_hook_type vrx_prev_ProcessUtility = nullptr;

static bool hooks_installed = false;

// Only a server that preloads the module gets settings, shared memory and
// hooks; loaded any other way the module stays inert and its SQL functions
// refuse to work.
void _PG_init(void)
{
	if (!process_shared_preload_libraries_in_progress)
		return;

	vrx_shared_config = nullptr;

	vrx_define_settings();
	vrx_request_shmem(vrx_request_registry);
	vrx_reserve_quiet_memory();

	vrx_prev_shmem_startup_hook = shmem_startup_hook;
	shmem_startup_hook = vrx_shmem_startup;
	vrx_prev_planner = planner_hook;
	planner_hook = vrx_planner;
	vrx_prev_ExecutorStart = ExecutorStart_hook;
	ExecutorStart_hook = vrx_ExecutorStart;
	vrx_prev_ExecutorRun = ExecutorRun_hook;
	ExecutorRun_hook = vrx_run_hook<vrx_ExecutorRun>;
	vrx_prev_ExecutorFinish = ExecutorFinish_hook;
	ExecutorFinish_hook = vrx_ExecutorFinish;
	vrx_prev_ExecutorEnd = ExecutorEnd_hook;
	ExecutorEnd_hook = vrx_ExecutorEnd;
	vrx_prev_ProcessUtility = ProcessUtility_hook;
	ProcessUtility_hook = vrx_ProcessUtility;
	RegisterXactCallback(vrx_at_transaction_end, nullptr);
	hooks_installed = true;
}

// Puts back the hooks that were in place before ours; a module that never
// installed any leaves the server's hooks alone.
void _PG_fini(void)
{
	if (!hooks_installed)
		return;
	vrx_unrequest_shmem();
	shmem_startup_hook = vrx_prev_shmem_startup_hook;
	planner_hook = vrx_prev_planner;
	ExecutorStart_hook = vrx_prev_ExecutorStart;
	ExecutorRun_hook = vrx_prev_ExecutorRun;
	ExecutorFinish_hook = vrx_prev_ExecutorFinish;
	ExecutorEnd_hook = vrx_prev_ExecutorEnd;
	ProcessUtility_hook = vrx_prev_ProcessUtility;
	UnregisterXactCallback(vrx_at_transaction_end, nullptr);
	hooks_installed = false;
}

// The current trace format version: the one traces recorded with JSON plans get.
Datum vr_version(PG_FUNCTION_ARGS)
{
	PG_RETURN_FLOAT8(VRX_VERSION_JSON);
}
