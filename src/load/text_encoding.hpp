// Texts read from trace files, made valid in the database encoding.  A data
// file keeps the bytes of the database that ran each statement; a loaded text
// must be valid in the loading database, or later functions on it fail and a
// dump of a table made from it does not restore.
#pragma once

#include "frame/pg.hpp"

// Stands for a text whose encoding is not known: it is only checked.
constexpr int VRX_ENCODING_UNKNOWN = -1;

// The encoding of the database with oid db, or VRX_ENCODING_UNKNOWN when no
// such database exists any more or it is SQL_ASCII (which says nothing about
// its bytes).  The last answer is remembered, since the records of one file
// come from few databases.
int vrx_database_encoding(Oid db);

// data (len bytes, in encoding from) as a text of the database encoding,
// allocated in the current memory context.  A text of another known encoding
// is converted, through UTF8 where the server has no direct conversion; of
// one that cannot be converted at all only the ASCII characters are kept.
// What still is not valid (invalid bytes, characters without an equivalent,
// NUL bytes) is replaced by U+FFFD in a UTF8 database and by "?" in any
// other.  Never raises for bad input.
text *vrx_database_text(const char *data, int len, int from);
