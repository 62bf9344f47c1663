#include "capture/timestamp_text.hpp"

#include "capture/number_text.hpp"

#include "pgtime.h"

static constexpr int64 SECS_PER_HOUR_64 = 3600;
static constexpr int64 UNIX_OFFSET_SECS =
    static_cast<int64>(POSTGRES_EPOCH_JDATE - UNIX_EPOCH_JDATE) * SECS_PER_DAY;

// The offset found for one hour of UTC time in one zone.
static const pg_tz *cached_zone = nullptr;
static int64 cached_hour = PG_INT64_MIN;
static long cached_gmtoff = 0;

// The zone's offset (seconds east of UTC) at unix_secs, checked against the
// local time the zone gives, which it must match second for second (a zone
// with leap seconds does not).
static bool offset_at(int64 unix_secs, long *gmtoff)
{
	pg_time_t t = static_cast<pg_time_t>(unix_secs);
	const struct pg_tm *tm = pg_localtime(&t, session_timezone);
	if (tm == nullptr)
		return false;
	const int64 local = unix_secs + tm->tm_gmtoff;
	const int64 of_day = ((local % SECS_PER_DAY) + SECS_PER_DAY) % SECS_PER_DAY;
	*gmtoff = tm->tm_gmtoff;
	return tm->tm_hour * 3600 + tm->tm_min * 60 + tm->tm_sec == of_day;
}

// The offset of the session's zone at ts, when one offset holds for the
// whole UTC hour around it (zones change offsets on hour boundaries at the
// finest quarter hours, never twice in an hour).
static bool zone_offset(int64 unix_secs, long *gmtoff)
{
	const int64 hour = unix_secs >= 0 ? unix_secs / SECS_PER_HOUR_64
	                                  : -((-unix_secs + SECS_PER_HOUR_64 - 1) / SECS_PER_HOUR_64);
	if (hour == cached_hour && session_timezone == cached_zone)
	{
		*gmtoff = cached_gmtoff;
		return true;
	}
	long first, last;
	if (!offset_at(hour * SECS_PER_HOUR_64, &first) ||
	    !offset_at(hour * SECS_PER_HOUR_64 + SECS_PER_HOUR_64 - 1, &last) || first != last)
		return false;
	cached_zone = session_timezone;
	cached_hour = hour;
	cached_gmtoff = first;
	*gmtoff = first;
	return true;
}

// The date part ("YYYY-MM-DD") of the last local day written.
static int64 cached_day = PG_INT64_MIN;
static char cached_date[10];

// The zone part ("+HH", "+HH:MM" or "+HH:MM:SS") of the last offset written.
static long cached_zone_offset = PG_INT32_MIN;
static char cached_zone_text[9];
static size_t cached_zone_length = 0;

// The zone as the server prints it: +HH, +HH:MM or +HH:MM:SS.
static void make_zone_text(long east)
{
	const unsigned zone = static_cast<unsigned>(east < 0 ? -east : east);
	char *p = cached_zone_text;
	*p++ = east >= 0 ? '+' : '-';
	p = vrx_write_two_digits(p, zone / 3600 % 100);
	if (zone % 60 != 0)
	{
		*p++ = ':';
		p = vrx_write_two_digits(p, zone / 60 % 60);
		*p++ = ':';
		p = vrx_write_two_digits(p, zone % 60);
	}
	else if (zone / 60 % 60 != 0)
	{
		*p++ = ':';
		p = vrx_write_two_digits(p, zone / 60 % 60);
	}
	cached_zone_length = static_cast<size_t>(p - cached_zone_text);
	cached_zone_offset = east;
}

// timestamptz_to_str's text, from its static buffer.
static size_t server_text(char (&out)[VRX_TIMESTAMP_TEXT_MAX], TimestampTz ts)
{
	return Min(strlcpy(out, timestamptz_to_str(ts), sizeof(out)), sizeof(out) - 1);
}

size_t vrx_format_timestamptz(char (&out)[VRX_TIMESTAMP_TEXT_MAX], TimestampTz ts)
{
	if (TIMESTAMP_NOT_FINITE(ts))
		return server_text(out, ts);

	// Whole seconds and the fraction, the fraction never negative.
	int64 secs = ts / USECS_PER_SEC;
	int64 fsec = ts % USECS_PER_SEC;
	if (fsec < 0)
	{
		fsec += USECS_PER_SEC;
		secs--;
	}
	long gmtoff;
	if (secs > PG_INT64_MAX / 2 || secs < PG_INT64_MIN / 2 ||
	    !zone_offset(secs + UNIX_OFFSET_SECS, &gmtoff))
		return server_text(out, ts);

	const int64 local = secs + gmtoff;
	int64 days = local / SECS_PER_DAY;
	int64 of_day = local % SECS_PER_DAY;
	if (of_day < 0)
	{
		of_day += SECS_PER_DAY;
		days--;
	}
	if (days != cached_day)
	{
		int year, month, day;
		const int64 julian = days + POSTGRES_EPOCH_JDATE;
		if (julian < 0 || julian > PG_INT32_MAX)
			return server_text(out, ts);
		j2date(static_cast<int>(julian), &year, &month, &day);
		if (year < 1 || year > 9999)
			return server_text(out, ts);
		char *p = vrx_write_padded(cached_date, static_cast<unsigned>(year), 4);
		*p++ = '-';
		p = vrx_write_two_digits(p, static_cast<unsigned>(month));
		*p++ = '-';
		(void) vrx_write_two_digits(p, static_cast<unsigned>(day));
		cached_day = days;
	}
	if (gmtoff != cached_zone_offset)
	{
		// A zone more than 100 hours off UTC would not print in two digits.
		if (gmtoff <= -360000 || gmtoff >= 360000)
			return server_text(out, ts);
		make_zone_text(gmtoff);
	}

	// At most 10+1+2+1+2+1+2+1+6+9 = 35 characters.
	static_assert(VRX_TIMESTAMP_TEXT_MAX > 35, "room for the longest timestamp");
	memcpy(out, cached_date, sizeof(cached_date));
	char *p = out + sizeof(cached_date);
	*p++ = ' ';
	p = vrx_write_two_digits(p, static_cast<unsigned>(of_day / 3600));
	*p++ = ':';
	p = vrx_write_two_digits(p, static_cast<unsigned>(of_day / 60 % 60));
	*p++ = ':';
	p = vrx_write_two_digits(p, static_cast<unsigned>(of_day % 60));
	if (fsec != 0)
	{
		*p++ = '.';
		p = vrx_write_padded(p, static_cast<unsigned>(fsec), 6);
		while (p[-1] == '0')
			p--;
	}
	memcpy(p, cached_zone_text, cached_zone_length);
	p += cached_zone_length;
	*p = '\0';
	return static_cast<size_t>(p - out);
}

void vrx_append_timestamptz(StringInfo buffer, TimestampTz ts)
{
	char text[VRX_TIMESTAMP_TEXT_MAX];
	appendBinaryStringInfo(buffer, text, static_cast<int>(vrx_format_timestamptz(text, ts)));
}
