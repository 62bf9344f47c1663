// The utility hook: where a utility command stands in the client's command
// (statement_scope.hpp), the plans of the cursors that a COMMIT or ROLLBACK
// will close (transaction_end.hpp), and, for the traces that ask for them
// (vireo.track_utility), the records of utility statements: those that never
// reach the executor, with their own text, start, duration, rows where the
// command reports them, usage and buffers, command type 5 and no plan.
#pragma once

#include "frame/pg.hpp"

void vrx_ProcessUtility(PlannedStmt *pstmt, const char *query_string, bool read_only_tree,
                        ProcessUtilityContext context, ParamListInfo params,
                        QueryEnvironment *query_env, DestReceiver *dest, QueryCompletion *qc);

// The transaction of the client's COMMIT, ROLLBACK or PREPARE TRANSACTION
// has ended (committed: committed or prepared): the statement, whose work
// (the commit's WAL flush, a deferred constraint) came after the utility
// hook had returned, is recorded now; a commit that failed, with its error.
// Called from the transaction callback, where nothing may fail.
void vrx_end_transaction_statement(bool committed);
