#include "capture/planner_hook.hpp"

#include "capture/statement_failure.hpp"
#include "capture/statement_scope.hpp"
#include "capture/trace_scan.hpp"
#include "frame/hooks.hpp"
#include "frame/settings.hpp"

static PlannedStmt *hand_on_planner(Query *parse, const char *query_string, int cursor_options,
                                    ParamListInfo bound_params)
{
	if (vrx_prev_planner)
		return vrx_prev_planner(parse, query_string, cursor_options, bound_params);
	return standard_planner(parse, query_string, cursor_options, bound_params);
}

static PlannedStmt *plan_watched(Query *parse, const char *query_string, int cursor_options,
                                 ParamListInfo bound_params,
                                 const uint64 (&generation)[VRX_MAX_TRACES])
{
	const Oid user_id = GetUserId();
	PlannedStmt *volatile planned = nullptr;
	PG_TRY();
	{
		planned = hand_on_planner(parse, query_string, cursor_options, bound_params);
	}
	PG_CATCH();
	{
		vrx_record_failed_start(
		    generation, GetCurrentStatementStartTimestamp(), user_id, parse->commandType,
		    vrx_statement_text(query_string, parse->stmt_location, parse->stmt_len, nullptr),
		    bound_params);
		PG_RE_THROW();
	}
	PG_END_TRY();
	return planned;
}

// The traces that would record the client's statement are chosen as at its
// executor start, before it is planned: their files are opened now, as
// nothing may be opened once an error is being handled.
PlannedStmt *vrx_planner(Query *parse, const char *query_string, int cursor_options,
                         ParamListInfo bound_params)
{
	uint64 generation[VRX_MAX_TRACES] = {};
	if (!vireo_enabled || vrx_inside_function() || vrx_shared_config == nullptr ||
	    !vrx_backend_records())
		return hand_on_planner(parse, query_string, cursor_options, bound_params);
	statement_start = GetCurrentStatementStartTimestamp();
	vrx_scan_registry();
	// A statement that fails while it is planned is a sample of its own.
	if (vrx_sampling)
		vrx_draw_sample();
	if (vrx_open_traces == nullptr || !vrx_user_is_traced() ||
	    !vrx_select_traces(
	        generation, [](const vrx_open_trace &e) { return vrx_trace_follows(e, vrx_reach::client); },
	        [](const vrx_open_trace &) {}))
		return hand_on_planner(parse, query_string, cursor_options, bound_params);
	return plan_watched(parse, query_string, cursor_options, bound_params, generation);
}
