// The planner hook: a client's statement that fails while it is planned
// (a constant the planner folds divides by zero, a statement_timeout during a
// long planning) is recorded as failed.  A statement that a function or
// another statement plans fails its caller, which is recorded instead.
#pragma once

#include "frame/pg.hpp"

PlannedStmt *vrx_planner(Query *parse, const char *query_string, int cursor_options,
                         ParamListInfo bound_params);
