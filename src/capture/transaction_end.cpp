#include "capture/transaction_end.hpp"

#include "capture/record_builder.hpp"
#include "capture/state.hpp"
#include "capture/statement_scope.hpp"
#include "capture/utility_hook.hpp"

bool vrx_commit_in_progress = false;

// The statements still open when a transaction commits or rolls back are its
// cursors, which the commit will close or keep (WITH HOLD) and the rollback
// will close: the plans of those that may be recorded are built now, in the
// forms their traces record.  The statement's own work is still to come, but
// a cancel or timeout that arrives now would, without the module, have found
// the statement done: it stops the work and is forgotten.
static void build_plans_of_open_statements(void)
{
	vrx_work_window window(vrx_work_scope::command_done);
	for (vrx_statement *st = vrx_statements; st != nullptr; st = st->next)
	{
		// A cursor of the client that nobody fetched yet may still be stored
		// for later (WITH HOLD) by the commit, which records it.
		if (st->plans_built || st->failed ||
		    (!st->returned && !st->returned_nested && st->started_inside))
			continue;
		// Its duration at least, for a record without a plan.
		const vrx_wanted_records wanted = vrx_wanted_formats(*st, -1.0);
		if (wanted.any())
			vrx_build_plans(st->query_desc, st, wanted.json, wanted.text, window);
	}
	window.close();
}

void vrx_before_transaction_statement(TransactionStmtKind kind)
{
	const bool commit = kind == TRANS_STMT_COMMIT || kind == TRANS_STMT_PREPARE;
	if ((commit || kind == TRANS_STMT_ROLLBACK) && IsTransactionState() &&
	    !IsAbortedTransactionBlockState())
	{
		if (vrx_statements != nullptr)
			build_plans_of_open_statements();
		if (commit)
			vrx_commit_in_progress = true;
	}
}

void vrx_at_transaction_end(XactEvent event, void *)
{
	switch (event)
	{
		case XACT_EVENT_COMMIT:
		case XACT_EVENT_PREPARE:
			vrx_commit_in_progress = false;
			vrx_end_transaction_statement(true);
			break;
		case XACT_EVENT_ABORT:
			vrx_commit_in_progress = false;
			vrx_end_transaction_statement(false);
			break;
		case XACT_EVENT_PARALLEL_COMMIT:
		case XACT_EVENT_PARALLEL_ABORT:
			vrx_commit_in_progress = false;
			break;
		default:
			break;
	}
}
