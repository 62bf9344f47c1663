// Running the module's own work where an error must never reach the user's
// statement or transaction: building a plan text or a record, rewriting a
// descriptor from inside a hook.
#pragma once

#include "capture/transaction_end.hpp"
#include "frame/pg.hpp"

// Whether vrx_guarded may run now: a subtransaction can be started (and
// rolled back) only in a normal transaction state, outside a parallel
// operation, and not while a COMMIT is under way.
inline bool vrx_can_guard(void)
{
	return IsTransactionState() && !IsInParallelMode() && !vrx_commit_in_progress;
}

// Runs fn inside an internal subtransaction, as PL/pgSQL runs an exception
// block.  An error raised by fn rolls the subtransaction back, which
// releases whatever fn had taken (buffer pins, catalog references, locks,
// memory of the subtransaction), and comes back as its message, allocated in
// the caller's memory context; null when fn completed.  A query cancel is
// not swallowed: it is raised again once the subtransaction is gone, as it
// would have been without the module.  The caller checks vrx_can_guard().
template <typename Fn> char *vrx_guarded(Fn &&fn)
{
	MemoryContext caller = CurrentMemoryContext;
	ResourceOwner owner = CurrentResourceOwner;
	char *volatile failure = nullptr;

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
		if (error->sqlerrcode == ERRCODE_QUERY_CANCELED)
			ReThrowError(error);
		failure = pstrdup(error->message != nullptr ? error->message : "unknown error");
		FreeErrorData(error);
	}
	PG_END_TRY();
	return failure;
}
