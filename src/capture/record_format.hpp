// The profile record, in one place: 29 comma-separated fields and a line
// feed.  It is put through a sink, so that the same layout is built in memory
// (the record of a statement that ended) or streamed out through a fixed
// buffer where nothing may be allocated (quiet_record.hpp).
#pragma once

#include <sys/resource.h>

#include "capture/number_text.hpp"
#include "capture/state.hpp"
#include "capture/statement_text.hpp"
#include "capture/timestamp_text.hpp"
#include "frame/pg_compat.hpp"

// What a record says about its statement.  The application, user and
// database, the end resource usage and the buffer counters are the
// backend's as they stand when the record is put.
struct vrx_record_fields
{
	TimestampTz start_time;
	TimestampTz end_time;
	Oid user_id;
	unsigned command_type; // as vrx_command_type numbers it
	vrx_text_span text;    // the statement's own text
	vrx_text_span plan;    // the plan, a note in its place, or nothing ("")
	double duration_ms;
	uint64 rows;
	const struct rusage *rusage_start;
	const struct rusage *rusage_end; // null: taken as the record is put
	const ParamListInfoData *params; // the statement's parameters, or null
};

// The fields of st's record but its end time, plan and duration; the user is
// the current one.
inline vrx_record_fields vrx_statement_fields(const vrx_statement &st)
{
	vrx_record_fields fields = {};
	fields.start_time = st.start_time;
	fields.user_id = GetUserId();
	fields.command_type = vrx_command_type(st.operation);
	fields.text = vrx_statement_text(st.source_text, st.stmt_location, st.stmt_len, st.body_position);
	fields.rows = st.rows;
	fields.rusage_start = &st.rusage_start;
	fields.params = st.params;
	return fields;
}

// Bytes of a text quoted between two calls of a quoting sink's stop().
constexpr size_t VRX_QUOTING_CHUNK = 1024 * 1024;

// Puts value between double quotes, doubling every quote inside it.  Between
// two chunks of VRX_QUOTING_CHUNK bytes, sink.stop() may end the work: false,
// the record left unfinished.
template <typename Sink> bool vrx_put_quoted(Sink &sink, vrx_text_span value)
{
	const char *const end = value.data + value.len;
	sink.put("\"", 1);
	for (const char *chunk = value.data; chunk < end; chunk += VRX_QUOTING_CHUNK)
	{
		if (chunk != value.data && sink.stop())
			return false;
		const char *const chunk_end = chunk + Min(VRX_QUOTING_CHUNK, static_cast<size_t>(end - chunk));
		for (const char *p = chunk; p < chunk_end;)
		{
			const char *quote = static_cast<const char *>(memchr(p, '"', chunk_end - p));
			if (quote == nullptr)
			{
				sink.put(p, chunk_end - p);
				break;
			}
			sink.put(p, quote - p + 1);
			sink.put("\"", 1);
			p = quote + 1;
		}
	}
	sink.put("\"", 1);
	return true;
}

// Numbers are written without the general-purpose formatting routines,
// into a local buffer each run of them, which is put at once.
template <typename Sink> void vrx_put_uint64(Sink &sink, uint64 value)
{
	char digits[VRX_INT64_TEXT_MAX];
	sink.put(digits, vrx_write_uint64(digits, value) - digits);
}

// Writes the values at out, each followed by a comma; returns the end.
template <typename T, size_t N> char *vrx_write_list(char *out, const T (&values)[N])
{
	for (const T value : values)
	{
		out = vrx_write_int64(out, static_cast<int64>(value));
		*out++ = ',';
	}
	return out;
}

// Puts ts and a comma.
template <typename Sink> void vrx_put_timestamptz(Sink &sink, TimestampTz ts)
{
	char text[VRX_TIMESTAMP_TEXT_MAX];
	const size_t length = vrx_format_timestamptz(text, ts); // below sizeof(text)
	text[length] = ',';
	sink.put(text, length + 1);
}

// Puts the whole record; false when the sink stopped it halfway.
// A Sink has put(const char *, size_t) and stop(); it never raises an error
// that this code would have to clean up after.
template <typename Sink> bool vrx_put_record(Sink &sink, const vrx_record_fields &r)
{
	vrx_put_timestamptz(sink, r.start_time);
	vrx_put_timestamptz(sink, r.end_time);

	// The application name has at most NAMEDATALEN bytes: never stopped.
	if (application_name != nullptr)
		(void) vrx_put_quoted(sink, vrx_text_span{application_name, strlen(application_name)});
	const uint32 ids[] = {r.user_id, MyDatabaseId, r.command_type};
	char ids_text[1 + lengthof(ids) * (VRX_INT64_TEXT_MAX + 1)];
	ids_text[0] = ',';
	sink.put(ids_text, vrx_write_list(ids_text + 1, ids) - ids_text);

	// The text and the plan are quoted even when empty (""): readers skip a
	// record where either is absent.
	if (!vrx_put_quoted(sink, r.text))
		return false;
	sink.put(",", 1);
	if (!vrx_put_quoted(sink, r.plan))
		return false;

	// The duration, the rows, the usage and the buffer counters.
	struct rusage now;
	if (r.rusage_end == nullptr)
		vrx_getrusage(&now);
	const struct rusage &e = r.rusage_end != nullptr ? *r.rusage_end : now;
	const struct rusage &s = *r.rusage_start;
	const long usage[] = {e.ru_inblock - s.ru_inblock, e.ru_oublock - s.ru_oublock,
	                      e.ru_majflt - s.ru_majflt,   e.ru_minflt - s.ru_minflt,
	                      e.ru_nswap - s.ru_nswap,     e.ru_nsignals - s.ru_nsignals,
	                      e.ru_msgrcv - s.ru_msgrcv,   e.ru_msgsnd - s.ru_msgsnd,
	                      e.ru_nvcsw - s.ru_nvcsw,     e.ru_nivcsw - s.ru_nivcsw};
	const BufferUsage &b = pgBufferUsage;
	const int64 blocks[] = {b.shared_blks_read,  b.shared_blks_written, b.shared_blks_hit,
	                        b.local_blks_read,   b.local_blks_written,  b.local_blks_hit,
	                        b.temp_blks_read,    b.temp_blks_written};
	char numbers[1 + VRX_FIXED6_MAX + (1 + lengthof(usage) + lengthof(blocks)) * (VRX_INT64_TEXT_MAX + 1)];
	numbers[0] = ',';
	char *p = vrx_write_fixed6(numbers + 1, r.duration_ms);
	*p++ = ',';
	p = vrx_write_uint64(p, r.rows);
	*p++ = ',';
	p = vrx_write_list(p, usage);
	p = vrx_write_list(p, blocks);
	sink.put(numbers, p - numbers);

	// A parameter list that fetches its values on demand (a PL/pgSQL
	// function's variables) has no types to list.
	const ParamListInfoData *params = r.params;
	if (params != nullptr && params->paramFetch == nullptr && params->numParams > 0)
	{
		sink.put("\"", 1);
		for (int i = 0; i < params->numParams; i++)
		{
			if (i > 0)
				sink.put(" ", 1);
			vrx_put_uint64(sink, params->params[i].ptype);
		}
		sink.put("\"", 1);
	}
	sink.put("\n", 1);
	return true;
}
