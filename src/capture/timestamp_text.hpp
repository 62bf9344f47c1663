// Timestamps as records carry them, made quickly.
#pragma once

#include "frame/pg.hpp"

// Appends ts exactly as timestamptz_to_str writes it (ISO date and time,
// fractional seconds without trailing zeros, the zone offset of the
// session's time zone), without its time zone look-up for every call: the
// zone's offset is looked up once per hour of UTC time and reused while it
// holds.  Falls back to timestamptz_to_str wherever that cannot be trusted.
void vrx_append_timestamptz(StringInfo buffer, TimestampTz ts);

// The same text in out, without allocating anything; its length.
constexpr size_t VRX_TIMESTAMP_TEXT_MAX = MAXDATELEN + 1;
size_t vrx_format_timestamptz(char (&out)[VRX_TIMESTAMP_TEXT_MAX], TimestampTz ts);
