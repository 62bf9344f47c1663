// Reader of delimited text records (profile records of the trace data files,
// key=value lines of trace.ini) and the converters of their field texts.
#pragma once

#include "frame/pg.hpp"

// One field.  value.data stays null (the field is absent) until a character
// or a quote of the field is met.
struct csv_field
{
	StringInfoData value;
	csv_field *next;
};

struct csv_record
{
	int32 count;
	csv_field *first;
};

extern "C" {
// Reads the record that begins at *position and moves *position past it.
// False at the end of the data, or when the file ends inside quotes (the
// position is then kept, so the record is read again whole later).
bool get_next_vrx_csv_record(FILE *stream, int64 *position, char separator, char terminator,
                             csv_record *record, bool keep_quotes);
}

// Frees the fields of a record and their texts.
void vrx_free_csv_record(csv_record *record);

// The converters never raise: bad, empty or out-of-range texts give false.
bool str_to_long(const char *text, int64 *out);
bool str_to_float8(const char *text, double *out);
bool str_to_timestamptz(const char *text, TimestampTz *out);
