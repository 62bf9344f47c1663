// Converters of field texts into numbers and timestamps.  They never raise:
// bad, empty or out-of-range texts give false.
#include "frame/pg_compat.hpp"
#include "load/csv_reader.hpp"

static bool only_blanks(const char *p)
{
	for (; *p != '\0'; p++)
	{
		if (!isspace(static_cast<unsigned char>(*p)))
			return false;
	}
	return true;
}

bool str_to_long(const char *text, int64 *out)
{
	if (text == nullptr || *text == '\0')
		return false;

	char *end;
	errno = 0;
	long long value = strtoll(text, &end, 10);
	if (end == text || errno == ERANGE)
		return false;
	if (!only_blanks(end))
		return false;
	*out = value;
	return true;
}

bool str_to_float8(const char *text, double *out)
{
	if (text == nullptr || *text == '\0')
		return false;
	while (isspace(static_cast<unsigned char>(*text)))
		text++;

	char *end;
	errno = 0;
	double value = strtod(text, &end);
	if (end == text || errno != 0)
	{
		if (pg_strncasecmp(text, "NaN", 3) == 0)
		{
			value = get_float8_nan();
			end = const_cast<char *>(text) + 3;
		}
		else if (pg_strncasecmp(text, "Infinity", 8) == 0)
		{
			value = get_float8_infinity();
			end = const_cast<char *>(text) + 8;
		}
		else if (pg_strncasecmp(text, "-Infinity", 9) == 0)
		{
			value = -get_float8_infinity();
			end = const_cast<char *>(text) + 9;
		}
		else
			return false;
	}
	if (!only_blanks(end))
		return false;
	*out = value;
	return true;
}

bool str_to_timestamptz(const char *text, TimestampTz *out)
{
	*out = 0;
	if (text == nullptr || *text == '\0')
		return false;

	char workbuf[MAXDATELEN + MAXDATEFIELDS];
	char *field[MAXDATEFIELDS];
	int ftype[MAXDATEFIELDS];
	int nf;
	if (ParseDateTime(text, workbuf, sizeof(workbuf), field, ftype, MAXDATEFIELDS, &nf) != 0)
		return false;

	struct pg_tm tm;
	fsec_t fsec;
	int tz;
	int dtype;
	if (vrx_decode_datetime(field, ftype, nf, &dtype, &tm, &fsec, &tz) != 0)
		return false;
	if (dtype != DTK_DATE)
		return false;

	TimestampTz value;
	if (tm2timestamp(&tm, fsec, &tz, &value) != 0)
		return false;
	*out = value;
	return true;
}
