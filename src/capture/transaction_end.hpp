// The end of a transaction as the capture path sees it: cursors that COMMIT
// or ROLLBACK will close get their plans while the catalogs can still be read
// safely, no subtransaction is started while a COMMIT is under way, and the
// statement that ends the transaction is recorded once it has.
#pragma once

#include "frame/pg.hpp"

// Set from the COMMIT (or PREPARE TRANSACTION) statement until the
// transaction has ended.  A subtransaction started then could not be rolled
// back (the server asserts that its parent is still in progress).
extern bool vrx_commit_in_progress;

// Called by the client's transaction statement of kind before it runs.
void vrx_before_transaction_statement(TransactionStmtKind kind);

// Transaction callback: the transaction has ended.
void vrx_at_transaction_end(XactEvent event, void *arg);
