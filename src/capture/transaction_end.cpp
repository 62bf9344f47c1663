#include "capture/transaction_end.hpp"

#include "capture/record_builder.hpp"
#include "capture/state.hpp"
#include "capture/statement_scope.hpp"
#include "frame/hooks.hpp"

bool vrx_commit_in_progress = false;

// The statements still open when a transaction commits are its cursors,
// which the commit will close or keep (WITH HOLD): the plans of those that
// may be recorded are built now, in the forms their traces record.  The
// COMMIT's own work is still to come, but a cancel or timeout that arrives
// now would, without the module, have found the COMMIT done: it stops the
// work and is forgotten.
static void build_plans_of_open_statements(void)
{
	vrx_work_window window(vrx_work_scope::command_done);
	for (vrx_statement *st = vrx_statements; st != nullptr; st = st->next)
	{
		if (st->plans_built || (!st->returned && st->started_inside))
			continue;
		bool want_json, want_text;
		vrx_wanted_formats(*st, -1.0, &want_json, &want_text);
		if (want_json || want_text)
			vrx_build_plans(st->query_desc, st, want_json, want_text, window);
	}
	window.close();
}

static void hand_on_utility(PlannedStmt *pstmt, const char *query_string, bool read_only_tree,
                            ProcessUtilityContext context, ParamListInfo params,
                            QueryEnvironment *query_env, DestReceiver *dest, QueryCompletion *qc)
{
	if (vrx_prev_ProcessUtility)
		vrx_prev_ProcessUtility(pstmt, query_string, read_only_tree, context, params, query_env,
		                        dest, qc);
	else
		standard_ProcessUtility(pstmt, query_string, read_only_tree, context, params, query_env,
		                        dest, qc);
}

void vrx_ProcessUtility(PlannedStmt *pstmt, const char *query_string, bool read_only_tree,
                        ProcessUtilityContext context, ParamListInfo params,
                        QueryEnvironment *query_env, DestReceiver *dest, QueryCompletion *qc)
{
	Node *parsetree = pstmt->utilityStmt;

	if (context == PROCESS_UTILITY_TOPLEVEL && IsA(parsetree, TransactionStmt))
	{
		const TransactionStmtKind kind = castNode(TransactionStmt, parsetree)->kind;
		if ((kind == TRANS_STMT_COMMIT || kind == TRANS_STMT_PREPARE) && IsTransactionState() &&
		    !IsAbortedTransactionBlockState())
		{
			if (vrx_statements != nullptr)
				build_plans_of_open_statements();
			vrx_commit_in_progress = true;
		}
	}

	const bool nests = vrx_utility_nests(parsetree);
	const bool fetch = IsA(parsetree, FetchStmt) || IsA(parsetree, ExecuteStmt);
	if (!nests && !fetch)
	{
		hand_on_utility(pstmt, query_string, read_only_tree, context, params, query_env, dest, qc);
		return;
	}
	const int depth = vrx_utility_depth;
	const int fetches = vrx_portal_fetch_depth;
	vrx_utility_depth = depth + (nests ? 1 : 0);
	vrx_portal_fetch_depth = fetches + (fetch ? 1 : 0);
	PG_TRY();
	{
		hand_on_utility(pstmt, query_string, read_only_tree, context, params, query_env, dest, qc);
	}
	PG_FINALLY();
	{
		vrx_utility_depth = depth;
		vrx_portal_fetch_depth = fetches;
	}
	PG_END_TRY();
}

void vrx_at_transaction_end(XactEvent event, void *)
{
	switch (event)
	{
		case XACT_EVENT_COMMIT:
		case XACT_EVENT_PARALLEL_COMMIT:
		case XACT_EVENT_ABORT:
		case XACT_EVENT_PARALLEL_ABORT:
		case XACT_EVENT_PREPARE:
			vrx_commit_in_progress = false;
			break;
		default:
			break;
	}
}
