// vr_is_json: whether a text is JSON that the server's json type accepts.
//
// Some releases print invalid JSON for a few plans (EXPLAIN of a MERGE into a
// partitioned or inheritance table puts its "Tuples" fields inside the
// "Target Tables" array), and a cast to json fails the whole query that meets
// one.  This tells such records apart without an error, on every release:
// `explain IS JSON` exists from 16 on only.
#include "frame/pg_compat.hpp"

extern "C" {
PG_FUNCTION_INFO_V1(vr_is_json);
}

// The server's own parser, so that the answer is exactly whether a cast to
// json would succeed.  Like the cast and IS JSON, a text nested deeper than
// the stack allows raises the server's stack depth error.
Datum vr_is_json(PG_FUNCTION_ARGS)
{
	text *json = PG_GETARG_TEXT_PP(0);
	JsonLexContext *lex = vrx_json_lexer(VARDATA_ANY(json), VARSIZE_ANY_EXHDR(json));
	const bool valid = pg_parse_json(lex, &nullSemAction) == JSON_SUCCESS;
	vrx_free_json_lexer(lex);
	PG_FREE_IF_COPY(json, 0);
	PG_RETURN_BOOL(valid);
}
