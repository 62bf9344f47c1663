#include "capture/statement_scope.hpp"

int vrx_utility_depth = 0;
int vrx_portal_fetch_depth = 0;

vrx_utility_kind vrx_utility_kind_of(const Node *parsetree)
{
	switch (nodeTag(parsetree))
	{
		case T_ExplainStmt:
		case T_ExecuteStmt:
		case T_CreateTableAsStmt:
		case T_DeclareCursorStmt:
		case T_FetchStmt:
		case T_ClosePortalStmt:
			return vrx_utility_kind::runs_statement;
		case T_TransactionStmt:
		case T_DiscardStmt:
			return vrx_utility_kind::control;
		default:
			return vrx_utility_kind::command;
	}
}

bool vrx_backend_records(void)
{
	return MyBackendType == B_BACKEND && profiling_allowed && !InSecurityRestrictedOperation();
}

vrx_reach vrx_statement_reach(const QueryDesc *query_desc)
{
	if (!vrx_backend_records())
		return vrx_reach::none;

	const DestReceiver *dest = query_desc->dest;
	if (dest == nullptr)
		return vrx_reach::none;
	switch (dest->mydest)
	{
		case DestSPI:
			return vrx_reach::nested;
		case DestCopyOut:
		case DestTransientRel:
			return vrx_reach::none;
		case DestTuplestore:
			// The client's INSERT ... RETURNING and the like fill a store that
			// goes to the client; inside a function, a store is filled for
			// the function (RETURN QUERY).
			return vrx_inside_function() ? vrx_reach::nested : vrx_reach::client;
		default:
			// A portal starts without a destination (DestNone): its runs
			// tell where its results go.
			return vrx_reach::client;
	}
}

vrx_run_results vrx_classify_run(const vrx_statement &st, const DestReceiver *dest)
{
	if (dest == nullptr)
		return vrx_run_results::elsewhere;
	switch (dest->mydest)
	{
		case DestSPI:
			return st.nested_traces ? vrx_run_results::returned_nested : vrx_run_results::elsewhere;
		case DestCopyOut:
		case DestTransientRel:
			return vrx_run_results::elsewhere;
		case DestTuplestore:
			// A cursor's rows go to the client through the store of the FETCH
			// that asked for them (a prepared statement's, of the EXECUTE).
			// Otherwise, a cursor that fills a store is one WITH HOLD kept
			// past its transaction: what it stores is not returned yet.
			return st.start_dest == DestTuplestore || vrx_portal_fetch_depth > 0
			           ? vrx_run_results::returned
			           : vrx_run_results::withheld;
		case DestNone:
			// Rows a FETCH or MOVE skips go nowhere.
			return vrx_portal_fetch_depth > 0 && st.start_dest == DestNone ? vrx_run_results::withheld
			                                                        : vrx_run_results::returned;
		default:
			return vrx_run_results::returned;
	}
}
