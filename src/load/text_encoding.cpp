#include "load/text_encoding.hpp"

extern "C" {
#include "catalog/pg_database.h"
#include "mb/pg_wchar.h"
}

// Conversions are made in pieces of this many source bytes, so that the
// output buffer (four times as large, at worst) stays well below the
// allocation limit whatever the length of the text.
static constexpr int CONVERSION_CHUNK = 1024 * 1024;

int vrx_database_encoding(Oid db)
{
	static Oid last_db = InvalidOid;
	static int last_encoding = VRX_ENCODING_UNKNOWN;

	if (OidIsValid(last_db) && db == last_db)
		return last_encoding;

	int encoding = VRX_ENCODING_UNKNOWN;
	HeapTuple tuple = SearchSysCache1(DATABASEOID, ObjectIdGetDatum(db));
	if (HeapTupleIsValid(tuple))
	{
		encoding = reinterpret_cast<Form_pg_database>(GETSTRUCT(tuple))->encoding;
		ReleaseSysCache(tuple);
		if (encoding == PG_SQL_ASCII || !PG_VALID_BE_ENCODING(encoding))
			encoding = VRX_ENCODING_UNKNOWN;
	}
	// A database created later may reuse the oid of a dropped one, so a
	// missing database is looked up again next time.
	last_db = encoding == VRX_ENCODING_UNKNOWN ? InvalidOid : db;
	last_encoding = encoding;
	return encoding;
}

// Stands for a character that has no equivalent in encoding to.
static void append_replacement(StringInfo out, int to)
{
	if (to == PG_UTF8)
		appendBinaryStringInfo(out, "\xEF\xBF\xBD", 3);
	else
		appendStringInfoChar(out, '?');
}

// Appends data as it is, with every byte that does not begin a valid
// character of the database encoding replaced.
static void append_checked(StringInfo out, const char *data, int len)
{
	const int encoding = GetDatabaseEncoding();
	while (len > 0)
	{
		int valid = pg_encoding_verifymbstr(encoding, data, len);
		appendBinaryStringInfo(out, data, valid);
		if (valid == len)
			return;
		append_replacement(out, encoding);
		data += valid + 1;
		len -= valid + 1;
	}
}

// Appends data converted from encoding from to encoding to with the
// conversion function proc.  The conversion stops at the first character it
// cannot convert: an invalid one is replaced byte by byte, a valid one
// without an equivalent as a whole.
static void append_converted(StringInfo out, const char *data, int len, int from, int to, Oid proc)
{
	while (len > 0)
	{
		const int chunk = Min(len, CONVERSION_CHUNK);
		enlargeStringInfo(out, chunk * MAX_CONVERSION_GROWTH + 1);
		char *dest = out->data + out->len;
		int done = pg_do_encoding_conversion_buf(
		    proc, from, to, reinterpret_cast<unsigned char *>(const_cast<char *>(data)), chunk,
		    reinterpret_cast<unsigned char *>(dest), out->maxlen - out->len, true);
		out->len += strlen(dest);
		data += done;
		len -= done;
		if (done == chunk || len == 0)
			continue;

		int char_len = pg_encoding_verifymbchar(from, data, len);
		if (char_len > 0 && done > 0 && done + char_len > chunk)
			continue; // the piece ended inside a character: convert it with the next
		append_replacement(out, to);
		data += char_len > 0 ? char_len : 1;
		len -= char_len > 0 ? char_len : 1;
	}
}

// Appends the ASCII characters of data, a text of encoding from that cannot
// be converted, and a replacement for each of its other characters: bytes
// that are valid in the database encoding would still be other characters
// there.
static void append_unconvertible(StringInfo out, const char *data, int len, int from)
{
	const int to = GetDatabaseEncoding();
	while (len > 0)
	{
		if (!IS_HIGHBIT_SET(*data) && *data != '\0')
		{
			appendStringInfoCharMacro(out, *data);
			data++;
			len--;
			continue;
		}
		const int char_len = pg_encoding_verifymbchar(from, data, len);
		append_replacement(out, to);
		data += char_len > 0 ? char_len : 1;
		len -= char_len > 0 ? char_len : 1;
	}
}

// How a text of encoding from becomes one of the database encoding: not at
// all (the same encoding, or one that says nothing of its bytes), with one
// conversion, through UTF8 where the server has no direct conversion (LATIN2
// or EUC_JP into LATIN1), or not possible.
struct conversion_route
{
	bool convert;
	Oid direct;
	Oid to_utf8;
	Oid from_utf8;
};

static conversion_route find_route(int from, int to)
{
	conversion_route route = {};
	if (from == VRX_ENCODING_UNKNOWN || from == to || to == PG_SQL_ASCII)
		return route;
	route.convert = true;
	route.direct = FindDefaultConversionProc(from, to);
	if (!OidIsValid(route.direct) && from != PG_UTF8 && to != PG_UTF8)
	{
		route.to_utf8 = FindDefaultConversionProc(from, PG_UTF8);
		route.from_utf8 = FindDefaultConversionProc(PG_UTF8, to);
	}
	return route;
}

text *vrx_database_text(const char *data, int len, int from)
{
	const int to = GetDatabaseEncoding();
	const conversion_route route = find_route(from, to);

	if (!route.convert && pg_encoding_verifymbstr(to, data, len) == len)
	{
		text *result = static_cast<text *>(palloc(VARHDRSZ + len));
		SET_VARSIZE(result, VARHDRSZ + len);
		memcpy(VARDATA(result), data, len);
		return result;
	}

	// Built behind room for the varlena header, so that the text is not
	// copied once more.
	StringInfoData out;
	initStringInfo(&out);
	appendStringInfoSpaces(&out, VARHDRSZ);
	if (!route.convert)
		append_checked(&out, data, len);
	else if (OidIsValid(route.direct))
		append_converted(&out, data, len, from, to, route.direct);
	else if (OidIsValid(route.to_utf8) && OidIsValid(route.from_utf8))
	{
		StringInfoData utf8;
		initStringInfo(&utf8);
		append_converted(&utf8, data, len, from, PG_UTF8, route.to_utf8);
		append_converted(&out, utf8.data, utf8.len, PG_UTF8, to, route.from_utf8);
		pfree(utf8.data);
	}
	else
		append_unconvertible(&out, data, len, from);
	SET_VARSIZE(out.data, out.len);
	return reinterpret_cast<text *>(out.data);
}
