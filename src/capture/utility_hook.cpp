#include "capture/utility_hook.hpp"

#include "capture/record_writer.hpp"
#include "capture/statement_failure.hpp"
#include "capture/statement_scope.hpp"
#include "capture/trace_scan.hpp"
#include "capture/transaction_end.hpp"
#include "frame/hooks.hpp"
#include "frame/settings.hpp"

// A utility statement being recorded.
struct utility_capture
{
	uint64 generation[VRX_MAX_TRACES]; // the traces that record it, by slot
	bool nested;                       // run by a function or another statement
	Oid user_id;                       // the user that started it
	TimestampTz start_time;            // its start, as the executor hooks take it
	TimestampTz began;                 // when it reached the hook: its duration runs from here
	struct rusage rusage_start;
	vrx_text_span text;
};

// The client's COMMIT, ROLLBACK or PREPARE TRANSACTION, from the return of
// the hook to the end of its transaction.
struct transaction_statement
{
	utility_capture capture;
	char *text;         // its text, copied: the commit drops the portal that held it
	bool expect_commit; // a COMMIT in an aborted transaction rolls back
};
static transaction_statement pending = {};
static bool pending_set = false;

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

// Whether a utility statement starting now is recorded, and into which
// traces: those of its user that ask for utility statements, and, when a
// function or another statement runs it, for nested statements.  The
// statements through which the client runs one of its own are recorded by
// the executor hooks, and the subcommands of a command belong to it.
static bool begin_utility(utility_capture *u, const PlannedStmt *pstmt, const char *query_string,
                          ProcessUtilityContext context, vrx_utility_kind kind)
{
	if (!vireo_enabled || kind == vrx_utility_kind::runs_statement ||
	    context == PROCESS_UTILITY_SUBCOMMAND || vrx_shared_config == nullptr ||
	    !vrx_backend_records())
		return false;
	const bool nested = context != PROCESS_UTILITY_TOPLEVEL || vrx_inside_function();
	if (!nested)
		statement_start = GetCurrentStatementStartTimestamp();
	vrx_scan_registry();
	if (vrx_pending_ends)
		vrx_settle_pending_ends();
	if (!nested && vrx_sampling)
		vrx_draw_sample();
	if (vrx_open_traces == nullptr || !vrx_user_is_traced())
		return false;

	*u = utility_capture{};
	const auto follows = [nested](const vrx_open_trace &e) {
		return e.user_matches && vrx_sampled(e) && e.options.track_utility &&
		       (!nested || e.options.track_nested);
	};
	if (!vrx_select_traces(u->generation, follows, [](const vrx_open_trace &) {}))
		return false;
	u->nested = nested;
	u->user_id = GetUserId();
	u->began = GetCurrentTimestamp();
	u->start_time = nested ? u->began : statement_start;
	u->text = vrx_statement_text(query_string, pstmt->stmt_location, pstmt->stmt_len, nullptr);
	vrx_getrusage(&u->rusage_start);
	return true;
}

// Writes the record of a utility statement that ends now: plan is nothing,
// or the note of its failure.
static void write_utility(const utility_capture &u, vrx_text_span plan, uint64 rows)
{
	vrx_record_fields fields = {};
	fields.start_time = u.start_time;
	fields.end_time = GetCurrentTimestamp();
	fields.user_id = u.user_id;
	fields.command_type = vrx_command_type(CMD_UTILITY);
	fields.text = u.text;
	fields.plan = plan;
	fields.duration_ms = static_cast<double>(fields.end_time - u.began) / 1000.0;
	fields.rows = rows;
	fields.rusage_start = &u.rusage_start;
	vrx_write_quietly(fields, u.generation, vrx_record_form::any, false);
}

// While the error that ends the statement is being handled.
static void write_failed_utility(const utility_capture &u)
{
	HOLD_INTERRUPTS();
	vrx_failure_note note;
	write_utility(u, vrx_note_failure(note), 0);
	RESUME_INTERRUPTS();
}

static void forget_transaction_statement(void)
{
	if (pending.text != nullptr)
		pfree(pending.text);
	pending = transaction_statement{};
	pending_set = false;
}

// Keeps the record of a transaction statement for the end of its
// transaction.  Its text is copied where a failure to allocate only loses
// the record.
static void hold_until_transaction_end(const utility_capture &u, TransactionStmtKind kind,
                                       const QueryCompletion *qc)
{
	forget_transaction_statement();
	char *text = nullptr;
	if (u.text.data != nullptr)
	{
		text = static_cast<char *>(
		    MemoryContextAllocExtended(TopMemoryContext, u.text.len + 1, MCXT_ALLOC_NO_OOM));
		if (text == nullptr)
			return;
		memcpy(text, u.text.data, u.text.len);
		text[u.text.len] = '\0';
	}
	pending.capture = u;
	pending.capture.text = {text, u.text.len};
	pending.text = text;
	// The server reports a COMMIT or PREPARE TRANSACTION that will roll back
	// instead as ROLLBACK.
	pending.expect_commit = kind != TRANS_STMT_ROLLBACK &&
	                        (qc == nullptr || qc->commandTag != CMDTAG_ROLLBACK);
	pending_set = true;
}

void vrx_end_transaction_statement(bool committed)
{
	if (!pending_set)
		return;
	if (committed || !pending.expect_commit)
		write_utility(pending.capture, {nullptr, 0}, 0);
	// A commit that was to happen and did not: an error ended it (a deferred
	// constraint, a serialization failure), which the server is handling
	// while the transaction aborts, unless the session is ending.
	else if (!proc_exit_inprogress && !MemoryContextIsEmpty(ErrorContext))
		write_failed_utility(pending.capture);
	forget_transaction_statement();
}

void vrx_ProcessUtility(PlannedStmt *pstmt, const char *query_string, bool read_only_tree,
                        ProcessUtilityContext context, ParamListInfo params,
                        QueryEnvironment *query_env, DestReceiver *dest, QueryCompletion *qc)
{
	Node *parsetree = pstmt->utilityStmt;
	const vrx_utility_kind kind = vrx_utility_kind_of(parsetree);

	// A COMMIT, ROLLBACK or PREPARE TRANSACTION of a sound transaction does
	// its work once the hook has returned, and is recorded when the
	// transaction has ended.  In an aborted transaction they only clean up
	// what the error left, and no transaction event follows.
	bool ends_transaction = false;
	TransactionStmtKind xact = TRANS_STMT_BEGIN;
	if (context == PROCESS_UTILITY_TOPLEVEL && IsA(parsetree, TransactionStmt))
	{
		xact = castNode(TransactionStmt, parsetree)->kind;
		vrx_before_transaction_statement(xact);
		ends_transaction =
		    (xact == TRANS_STMT_COMMIT || xact == TRANS_STMT_ROLLBACK || xact == TRANS_STMT_PREPARE) &&
		    IsTransactionState() && !IsAbortedTransactionBlockState();
		if (pending_set)
			forget_transaction_statement();
	}

	utility_capture capture;
	const bool record = begin_utility(&capture, pstmt, query_string, context, kind);
	const bool nests = kind == vrx_utility_kind::command;
	const bool fetch = IsA(parsetree, FetchStmt) || IsA(parsetree, ExecuteStmt);
	if (!nests && !fetch && !record)
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
	PG_CATCH();
	{
		vrx_utility_depth = depth;
		vrx_portal_fetch_depth = fetches;
		if (record && vireo_enabled)
			write_failed_utility(capture);
		PG_RE_THROW();
	}
	PG_END_TRY();
	vrx_utility_depth = depth;
	vrx_portal_fetch_depth = fetches;

	if (!record || !vireo_enabled)
		return;
	if (ends_transaction)
	{
		hold_until_transaction_end(capture, xact, qc);
		return;
	}
	const vrx_work_scope scope =
	    capture.nested ? vrx_work_scope::statement_goes_on : vrx_work_scope::command_done;
	vrx_work_window window(scope);
	write_utility(capture, {nullptr, 0}, qc != nullptr ? qc->nprocessed : 0);
	window.close();
}
