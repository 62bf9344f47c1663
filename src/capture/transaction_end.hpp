// The end of a transaction as the capture path sees it: cursors that COMMIT
// will close get their plans while the catalogs can still be read safely,
// and no subtransaction is started while the COMMIT is under way.
#pragma once

#include "frame/pg.hpp"

// Set from the COMMIT (or PREPARE TRANSACTION) statement until the
// transaction has ended.  A subtransaction started then could not be rolled
// back (the server asserts that its parent is still in progress).
extern bool vrx_commit_in_progress;

void vrx_ProcessUtility(PlannedStmt *pstmt, const char *query_string, bool read_only_tree,
                        ProcessUtilityContext context, ParamListInfo params,
                        QueryEnvironment *query_env, DestReceiver *dest, QueryCompletion *qc);

// Transaction callback: the transaction has ended.
void vrx_at_transaction_end(XactEvent event, void *arg);
