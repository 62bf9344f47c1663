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

// The loader's reader of a data file: the same records, fields and positions
// as get_next_vrx_csv_record with a comma and a line feed, read through a
// large buffer from a start position on to the end of the file.  A record's
// texts lie in one buffer; the fields after the first VRX_RECORD_FIELDS are
// counted but not kept.
constexpr int VRX_RECORD_FIELDS = 30;

struct vrx_field
{
	const char *data; // null: absent; else NUL-terminated, len bytes before the NUL
	int len;
};

struct vrx_record
{
	int32 count;
	vrx_field fields[VRX_RECORD_FIELDS];
};

struct vrx_record_reader;

// Starts reading stream (just opened) at position start.  Allocates in the
// current memory context.
vrx_record_reader *vrx_record_reader_open(FILE *stream, int64 start);

// Reads the next record into record, whose texts stay valid until the next
// call, and sets *position to where the next record begins.  False at the
// end of the data or of the file inside quotes, as get_next_vrx_csv_record.
bool vrx_read_record(vrx_record_reader *reader, vrx_record *record, int64 *position);

// Releases the reader; the caller closes the stream.
void vrx_record_reader_close(vrx_record_reader *reader);
