// The text a record carries for its statement.
#pragma once

#include "frame/pg.hpp"

// The statement's own text within its source string.  When the string holds
// other statements too (psql's \;, a multi-statement query message, the body
// of a SQL function), that is the part the server located for the planned
// statement, copied into the current memory context; a string that holds
// only this statement (whatever blanks, comments and semicolons surround it)
// is returned unchanged.  Null when the statement has no source text.
const char *vrx_statement_text(const QueryDesc *query_desc);
