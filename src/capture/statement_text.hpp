// The text a record carries for its statement.
#pragma once

#include "frame/pg.hpp"

// The statement's own text within its source string.  When the string holds
// other statements too (psql's \;, a multi-statement query message, the body
// of a SQL function), that is the part the server located for the planned
// statement, copied into the current memory context; a string that holds
// only this statement (whatever blanks, comments and semicolons surround it)
// is returned unchanged.  Null when the statement has no source text.
// A statement of a SQL-standard function body (BEGIN ATOMIC) has
// body_position instead.
const char *vrx_statement_text(const QueryDesc *query_desc, const char *body_position);

// For a statement starting now in a SQL-standard function body, which has no
// source text (the body is stored parsed): the function's name and the
// statement's position in it, as the server's error context names them
// ("SQL function \"f\" statement 2"), in the current memory context.  Null
// for every other statement.
char *vrx_body_position(const QueryDesc *query_desc);
