#include "load/profile_record.hpp"

#include "capture/state.hpp"
#include "load/text_encoding.hpp"

static constexpr int PROFILE_FIELDS = 29; // a record with its query id has 30

// Statistics are gathered on the columns that queries filter, group and join
// on; not on the plans and the resource counters, which take the larger part
// of the time of an ANALYZE.
const vrx_column vrx_profile_columns[VRX_PROFILE_COLUMNS] = {
    {"trace_id", INT8OID, true},
    {"start_time", TIMESTAMPTZOID, true},
    {"end_time", TIMESTAMPTZOID, true},
    {"appl_name", TEXTOID, true},
    {"user_id", OIDOID, true},
    {"db_id", OIDOID, true},
    {"query_type", INT2OID, true},
    {"query_id", INT8OID, true},
    {"explain", TEXTOID, false},
    {"duration", FLOAT8OID, true},
    {"rows_updated", INT8OID, true},
    {"fs_in", INT8OID, false},
    {"fs_out", INT8OID, false},
    {"page_faults", INT8OID, false},
    {"page_reclaims", INT8OID, false},
    {"swaps", INT8OID, false},
    {"sign_recv", INT8OID, false},
    {"msg_recv", INT8OID, false},
    {"msg_snd", INT8OID, false},
    {"vol_contx_switch", INT8OID, false},
    {"invol_contx_switch", INT8OID, false},
    {"shared_blk_read", INT8OID, false},
    {"shared_blk_written", INT8OID, false},
    {"shared_blk_hit", INT8OID, false},
    {"local_blk_read", INT8OID, false},
    {"local_blk_written", INT8OID, false},
    {"local_blk_hit", INT8OID, false},
    {"tmp_blk_read", INT8OID, false},
    {"tmp_blk_written", INT8OID, false},
    {"pid", INT4OID, true},
};

// Positions of the columns in vrx_profile_columns.
enum profile_column
{
	TRACE_ID = 0,
	START_TIME = 1,
	APPL_NAME = 3,
	USER_ID = 4,
	DB_ID = 5,
	QUERY_TYPE = 6,
	EXPLAIN = 8,
	DURATION = 9,
	ROWS_UPDATED = 10,
	RESOURCE_USAGE = 11, // ten columns
	BUFFER_USAGE = 21,   // eight columns
	PID = 29
};

// Field numbers (from 0) of the record.
enum profile_field
{
	F_START_TIME = 0,
	F_APPL_NAME = 2,
	F_USER_ID = 3,
	F_DB_ID = 4,
	F_QUERY_TYPE = 5,
	F_QUERY = 6,
	F_EXPLAIN = 7,
	F_DURATION = 8,
	F_ROWS = 9,
	F_RESOURCE_USAGE = 10,
	F_BUFFER_USAGE = 20,
	F_PARAMS = 28,
	F_QUERY_ID = 29
};

// The parameter types of field 29, type oids separated by blanks ("23 25"),
// as params (oidvector, index 0) or as paramsarr (oid[], index 1).  A field that is not such a list (another
// character, a number beyond the oid range, no number at all, or more types
// than an oidvector holds) gives NULL in both: one record's odd field must
// not make its trace impossible to load.
static void fill_params(const char *field, double version, bool as_array, vrx_profile_row *row)
{
	row->no_params[0] = true;
	row->no_params[1] = true;
	if (version < 2.1 || field == nullptr)
		return;

	int count = 0;
	for (const char *p = field; *p != '\0'; p++)
	{
		if (*p != ' ' && !isdigit(static_cast<unsigned char>(*p)))
			return;
		if (*p != ' ' && (p == field || p[-1] == ' '))
			count++;
	}
	if (count == 0 || (!as_array && count > FUNC_MAX_ARGS))
		return;

	Oid *oids = static_cast<Oid *>(palloc(sizeof(Oid) * count));
	int n = 0;
	for (const char *p = field; *p != '\0';)
	{
		if (*p == ' ')
		{
			p++;
			continue;
		}
		uint64 value = 0;
		for (; isdigit(static_cast<unsigned char>(*p)); p++)
		{
			value = value * 10 + (*p - '0');
			if (value > PG_UINT32_MAX)
				return;
		}
		oids[n++] = static_cast<Oid>(value);
	}

	if (!as_array)
	{
		row->params[0] = PointerGetDatum(buildoidvector(oids, n));
		row->no_params[0] = false;
		return;
	}
	Datum *elements = static_cast<Datum *>(palloc(sizeof(Datum) * n));
	for (int i = 0; i < n; i++)
		elements[i] = ObjectIdGetDatum(oids[i]);
	row->params[1] =
	    PointerGetDatum(construct_array(elements, n, OIDOID, sizeof(Oid), true, TYPALIGN_INT));
	row->no_params[1] = false;
}

// The query id of a 30-field record into *id: 1 when its field is not a
// number.  False for a number that is no id: negative, or too large for the
// session's counter to go past it (INT64_MAX and beyond).
static bool record_query_id(const char *field, int64 *id)
{
	*id = 1;
	if (field == nullptr || *field == '\0')
		return true;
	const char *digits = field;
	while (isspace(static_cast<unsigned char>(*digits)))
		digits++;
	if (*digits == '-')
		return !isdigit(static_cast<unsigned char>(digits[1]));
	char *end;
	errno = 0;
	unsigned long long value = strtoull(field, &end, 10);
	if (end == field)
		return true;
	for (const char *rest = end; *rest != '\0'; rest++)
	{
		if (!isspace(static_cast<unsigned char>(*rest)))
			return true;
	}
	if (errno == ERANGE || value >= static_cast<unsigned long long>(PG_INT64_MAX))
		return false;
	*id = static_cast<int64>(value);
	return true;
}

// A number field that must lie within [low, high].
static bool read_ranged(const char *field, int64 low, int64 high, int64 *out)
{
	return str_to_long(field, out) && *out >= low && *out <= high;
}

// A text field as a text of the database encoding, in row_cxt.
static Datum field_text(const vrx_field &field, int encoding, MemoryContext row_cxt)
{
	MemoryContext caller = MemoryContextSwitchTo(row_cxt);
	text *result = vrx_database_text(field.data, field.len, encoding);
	MemoryContextSwitchTo(caller);
	return PointerGetDatum(result);
}

vrx_record_outcome vrx_convert_record(const vrx_record &record, const vrx_convert_options &options,
                                      int32 pid, MemoryContext row_cxt, vrx_profile_row *row)
{
	if (record.count != PROFILE_FIELDS && record.count != PROFILE_FIELDS + 1)
		return vrx_record_outcome::skip;

	const vrx_field *fields = record.fields;
	const char *f[PROFILE_FIELDS + 1];
	for (int i = 0; i < record.count; i++)
		f[i] = fields[i].data;

	memset(row->nulls, 0, sizeof(row->nulls));
	row->values[TRACE_ID] = Int64GetDatum(options.trace_no);
	for (int i = 0; i < 2; i++)
	{
		TimestampTz ts;
		if (f[F_START_TIME + i] == nullptr || !str_to_timestamptz(f[F_START_TIME + i], &ts))
			return vrx_record_outcome::skip;
		if (ts > statement_start)
			return vrx_record_outcome::stop;
		row->values[START_TIME + i] = TimestampTzGetDatum(ts);
	}

	// Numbers beyond their column's range are refused, not wrapped around.
	int64 number;
	if (!read_ranged(f[F_USER_ID], 0, PG_UINT32_MAX, &number))
		return vrx_record_outcome::skip;
	row->values[USER_ID] = ObjectIdGetDatum(static_cast<Oid>(number));
	if (!read_ranged(f[F_DB_ID], 0, PG_UINT32_MAX, &number))
		return vrx_record_outcome::skip;
	const Oid db = static_cast<Oid>(number);
	row->values[DB_ID] = ObjectIdGetDatum(db);
	if (!read_ranged(f[F_QUERY_TYPE], 0, PG_INT16_MAX, &number))
		return vrx_record_outcome::skip;
	row->values[QUERY_TYPE] = Int16GetDatum(static_cast<int16>(number));

	if (f[F_QUERY] == nullptr || f[F_EXPLAIN] == nullptr)
		return vrx_record_outcome::skip;

	double duration;
	if (!str_to_float8(f[F_DURATION], &duration))
		return vrx_record_outcome::skip;
	row->values[DURATION] = Float8GetDatum(duration);
	if (!str_to_long(f[F_ROWS], &number))
		return vrx_record_outcome::skip;
	row->values[ROWS_UPDATED] = Int64GetDatum(number);

	// Resource usage: an unreadable counter is NULL in its own column.
	for (int i = 0; i < 10; i++)
	{
		if (str_to_long(f[F_RESOURCE_USAGE + i], &number))
			row->values[RESOURCE_USAGE + i] = Int64GetDatum(number);
		else
			row->nulls[RESOURCE_USAGE + i] = true;
	}
	for (int i = 0; i < 8; i++)
	{
		if (!str_to_long(f[F_BUFFER_USAGE + i], &number))
			return vrx_record_outcome::skip;
		row->values[BUFFER_USAGE + i] = Int64GetDatum(number);
	}
	row->values[PID] = Int32GetDatum(pid);
	row->has_query_id = record.count == PROFILE_FIELDS + 1;
	row->query_id = 0;
	if (row->has_query_id && !record_query_id(f[F_QUERY_ID], &row->query_id))
		return vrx_record_outcome::skip;

	// The texts are in the encoding of the database that ran the statement.
	const int encoding = vrx_database_encoding(db);
	if (f[F_APPL_NAME] == nullptr)
		row->nulls[APPL_NAME] = true;
	else
		row->values[APPL_NAME] = field_text(fields[F_APPL_NAME], encoding, row_cxt);
	row->values[EXPLAIN] = field_text(fields[F_EXPLAIN], encoding, row_cxt);
	row->query = vrx_database_text(fields[F_QUERY].data, fields[F_QUERY].len, encoding);

	fill_params(f[F_PARAMS], options.version, options.params_as_array, row);
	return vrx_record_outcome::insert;
}
