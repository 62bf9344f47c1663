// Running the module's own work where an error must never reach the user's
// statement or transaction: building a plan text or a record, rewriting a
// descriptor from inside a hook.
#pragma once

#include <type_traits>

#include "capture/transaction_end.hpp"
#include "frame/pg.hpp"

// Whether vrx_guarded may run now: a subtransaction can be started (and
// rolled back) only in a normal transaction state, outside a parallel
// operation, and not while a COMMIT is under way.
inline bool vrx_can_guard(void)
{
	return IsTransactionState() && !IsInParallelMode() && !vrx_commit_in_progress;
}

// Where the module's work stands in the command.  Once the command's own work
// is done (the client's statement has ended; a COMMIT or PREPARE TRANSACTION
// is about to commit), a cancel or timeout arriving during the module's work
// would, without the module, have arrived after the command completed, which
// the server ignores (and a statement_timeout is disarmed at a command's
// end): the work stops, and the interrupt is forgotten.  Inside a statement
// that goes on (a function's statement ending inside its caller), the
// interrupt is the statement's: the work stops and the interrupt cancels the
// statement, as it would have at the statement's next check.
enum class vrx_work_scope
{
	command_done,
	statement_goes_on,
};

// Why a piece of the module's work did not complete when an interrupt ended
// or prevented it.
constexpr const char *VRX_CANCELED = "canceled";

// Whether a query cancel or timeout is waiting for the server to act on it.
// The module's work does not start then: it would act on it in the server's
// place.
inline bool vrx_interrupt_pending(void)
{
	return QueryCancelPending;
}

// Whether error is the server acting on an interrupt meant for the statement:
// a query cancel, a statement timeout, a conflict with recovery.  A lock
// timeout is not: it ended a lock wait of the module's own work.
inline bool vrx_is_interrupt(const ErrorData *error)
{
	constexpr char recovery_conflict[] = "ProcessRecoveryConflictInterrupt";
	if (error->sqlerrcode == ERRCODE_QUERY_CANCELED)
		return true;
	return error->sqlerrcode != ERRCODE_LOCK_NOT_AVAILABLE && error->funcname != nullptr &&
	       (strcmp(error->funcname, "ProcessInterrupts") == 0 ||
	        strncmp(error->funcname, recovery_conflict, sizeof(recovery_conflict) - 1) == 0);
}

// The module's work at one point of a command, in one scope.  It stops for
// good at the first cancel or timeout it meets, or that is waiting when a
// piece of it would begin (that one is left to the server).  With the
// command's own work done, an interrupt that arrived during the work without
// the work meeting it (no check for interrupts came) is forgotten when the
// work ends, as the server would have forgotten it.
class vrx_work_window
{
public:
	explicit vrx_work_window(vrx_work_scope scope)
	    : scope_(scope), pending_before_(vrx_interrupt_pending()), stopped_(false)
	{
	}
	vrx_work_scope scope() const { return scope_; }
	// Whether the next piece of work may not begin.
	bool stopped() const { return stopped_ || vrx_interrupt_pending(); }
	void stop() { stopped_ = true; }
	void close() const
	{
		if (scope_ == vrx_work_scope::command_done && !pending_before_ && vrx_interrupt_pending())
		{
			QueryCancelPending = false;
			(void) get_timeout_indicator(STATEMENT_TIMEOUT, true);
			(void) get_timeout_indicator(LOCK_TIMEOUT, true);
		}
	}

private:
	vrx_work_scope scope_;
	bool pending_before_;
	bool stopped_;
};
static_assert(std::is_trivially_destructible<vrx_work_window>::value,
              "a work window may live in a frame that raises");

// Runs fn, a piece of the window's work, inside an internal subtransaction,
// as PL/pgSQL runs an exception block.  An error raised by fn rolls the
// subtransaction back, which releases whatever fn had taken (buffer pins,
// catalog references, locks, memory of the subtransaction), and comes back
// as its message, allocated in the caller's memory context; null when fn
// completed.  When the window has stopped, fn does not run and the answer is
// VRX_CANCELED; an interrupt that ends fn stops the window and gives the
// same, and inside a statement that goes on is raised again once the
// subtransaction is gone, as it would have been without the module.  The
// caller checks vrx_can_guard().
template <typename Fn> const char *vrx_guarded(vrx_work_window &window, Fn &&fn)
{
	if (window.stopped())
	{
		window.stop();
		return VRX_CANCELED;
	}

	MemoryContext caller = CurrentMemoryContext;
	ResourceOwner owner = CurrentResourceOwner;
	const char *volatile failure = nullptr;

	BeginInternalSubTransaction(nullptr);
	MemoryContextSwitchTo(caller);
	PG_TRY();
	{
		fn();
		ReleaseCurrentSubTransaction();
		MemoryContextSwitchTo(caller);
		CurrentResourceOwner = owner;
	}
	PG_CATCH();
	{
		MemoryContextSwitchTo(caller);
		ErrorData *error = CopyErrorData();
		FlushErrorState();
		RollbackAndReleaseCurrentSubTransaction();
		MemoryContextSwitchTo(caller);
		CurrentResourceOwner = owner;
		if (vrx_is_interrupt(error))
		{
			window.stop();
			if (window.scope() == vrx_work_scope::statement_goes_on)
				ReThrowError(error);
			failure = VRX_CANCELED;
		}
		else
			failure = pstrdup(error->message != nullptr ? error->message : "unknown error");
		FreeErrorData(error);
	}
	PG_END_TRY();
	return failure;
}
