// The text a record carries for its statement.
#pragma once

#include "frame/pg.hpp"

// A piece of a text, not necessarily ended by a NUL.
struct vrx_text_span
{
	const char *data; // null: no text
	size_t len;
};

// The statement's own text within its source string, which the server
// located at stmt_location and stmt_len (those of the planned statement).
// When the string holds other statements too (psql's \;, a multi-statement
// query message, the body of a SQL function), that is the part located for
// this statement, without the blanks around it; a string that holds only
// this statement (whatever blanks, comments and semicolons surround it) is
// returned whole.  No text when the statement has none.  A statement of a
// SQL-standard function body (BEGIN ATOMIC) has body_position instead.
// Points into the string; allocates nothing.
vrx_text_span vrx_statement_text(const char *source, int stmt_location, int stmt_len,
                                 const char *body_position);

// For a statement starting now in a SQL-standard function body, which has no
// source text (the body is stored parsed): the function's name and the
// statement's position in it, as the server's error context names them
// ("SQL function \"f\" statement 2"), in the current memory context.  Null
// for every other statement.
char *vrx_body_position(const QueryDesc *query_desc);
