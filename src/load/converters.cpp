// Converters of field texts into numbers and timestamps.  They never raise:
// bad, empty or out-of-range texts give false.
#include "frame/pg_compat.hpp"
#include "load/csv_reader.hpp"

// The white space of the C locale (as isspace there), without a call: a
// record holds some thirty numbers.
static inline bool blank(unsigned char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

static bool only_blanks(const char *p)
{
	for (; *p != '\0'; p++)
	{
		if (!blank(static_cast<unsigned char>(*p)))
			return false;
	}
	return true;
}

// As strtoll in base 10 (white space and a sign before the digits, a value
// beyond the signed 64-bit range refused), without its locale overhead: the
// loader converts some thirty numbers a record.
bool str_to_long(const char *text, int64 *out)
{
	if (text == nullptr || *text == '\0')
		return false;

	const char *p = text;
	while (blank(static_cast<unsigned char>(*p)))
		p++;
	const bool negative = *p == '-';
	if (*p == '-' || *p == '+')
		p++;
	if (!isdigit(static_cast<unsigned char>(*p)))
		return false;
	// Accumulated as a negative number, whose range holds the smallest value.
	int64 value = 0;
	for (; isdigit(static_cast<unsigned char>(*p)); p++)
	{
		const int digit = *p - '0';
		if (value < (PG_INT64_MIN + digit) / 10)
			return false;
		value = value * 10 - digit;
	}
	if (!negative && value == PG_INT64_MIN)
		return false;
	if (!only_blanks(p))
		return false;
	*out = negative ? value : -value;
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

// Reads n digits at *p into *value.
static bool read_digits(const char *&p, int n, int *value)
{
	*value = 0;
	for (int i = 0; i < n; i++, p++)
	{
		if (*p < '0' || *p > '9')
			return false;
		*value = *value * 10 + (*p - '0');
	}
	return true;
}

// The form the capture writes, "2021-03-04 05:06:07.123456+01" (up to six
// decimals, a zone offset of hours, minutes and seconds), with every part
// in its ordinary range, read without the general parser: the same instant
// it would give.  False for anything else, which the general parser reads.
static bool iso_timestamptz(const char *p, TimestampTz *out)
{
	int year, month, day, hour, minute, second;
	if (!read_digits(p, 4, &year) || *p++ != '-' || !read_digits(p, 2, &month) || *p++ != '-' ||
	    !read_digits(p, 2, &day) || *p++ != ' ' || !read_digits(p, 2, &hour) || *p++ != ':' ||
	    !read_digits(p, 2, &minute) || *p++ != ':' || !read_digits(p, 2, &second))
		return false;
	int64 usec = 0;
	if (*p == '.')
	{
		p++;
		int digits = 0;
		for (; *p >= '0' && *p <= '9'; p++, digits++)
		{
			if (digits == 6)
				return false;
			usec = usec * 10 + (*p - '0');
		}
		if (digits == 0)
			return false;
		for (; digits < 6; digits++)
			usec *= 10;
	}
	if (*p != '+' && *p != '-')
		return false;
	const int sign = *p++ == '+' ? 1 : -1;
	int zone_hour, zone_minute = 0, zone_second = 0;
	if (!read_digits(p, 2, &zone_hour))
		return false;
	if (*p == ':' &&
	    (!read_digits(++p, 2, &zone_minute) || (*p == ':' && !read_digits(++p, 2, &zone_second))))
		return false;
	if (*p != '\0' || year < 1 || month < 1 || month > 12 || day < 1 ||
	    day > day_tab[isleap(year)][month - 1] || hour > 23 || minute > 59 || second > 59 ||
	    zone_hour > 14 || zone_minute > 59 || zone_second > 59)
		return false;

	const int64 days = date2j(year, month, day) - POSTGRES_EPOCH_JDATE;
	const int64 seconds = (hour * 60 + minute) * 60 + second -
	                      sign * ((zone_hour * 60 + zone_minute) * 60 + zone_second);
	*out = days * USECS_PER_DAY + seconds * USECS_PER_SEC + usec;
	return true;
}

bool str_to_timestamptz(const char *text, TimestampTz *out)
{
	*out = 0;
	if (text == nullptr || *text == '\0')
		return false;
	if (iso_timestamptz(text, out))
		return true;

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
