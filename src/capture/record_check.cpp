#include "capture/record_check.hpp"

#include "capture/number_text.hpp"

extern "C" {
PG_FUNCTION_INFO_V1(vrx_fixed6_differs);
}

bool vireo_check_records = false;

static void append_quoted(StringInfo out, const char *data, size_t len)
{
	appendStringInfoChar(out, '"');
	for (size_t i = 0; i < len; i++)
	{
		appendStringInfoChar(out, data[i]);
		if (data[i] == '"')
			appendStringInfoChar(out, '"');
	}
	appendStringInfoChar(out, '"');
}

void vrx_reference_record(StringInfo out, const vrx_record_fields &r)
{
	initStringInfo(out);
	appendStringInfo(out, "%s,", timestamptz_to_str(r.start_time));
	appendStringInfo(out, "%s,", timestamptz_to_str(r.end_time));
	if (application_name != nullptr)
		append_quoted(out, application_name, strlen(application_name));
	appendStringInfo(out, ",%u,%u,%u,", r.user_id, MyDatabaseId, r.command_type);
	// Both quoted even when empty or absent: readers skip a record without
	// either.
	append_quoted(out, r.text.data, r.text.len);
	appendStringInfoChar(out, ',');
	append_quoted(out, r.plan.data, r.plan.len);
	appendStringInfoChar(out, ',');
	appendStringInfo(out, "%.6f,", r.duration_ms);
	appendStringInfo(out, UINT64_FORMAT ",", r.rows);
	const struct rusage &s = *r.rusage_start;
	const struct rusage &e = *r.rusage_end;
	appendStringInfo(out, "%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld", e.ru_inblock - s.ru_inblock,
	                 e.ru_oublock - s.ru_oublock, e.ru_majflt - s.ru_majflt, e.ru_minflt - s.ru_minflt,
	                 e.ru_nswap - s.ru_nswap, e.ru_nsignals - s.ru_nsignals, e.ru_msgrcv - s.ru_msgrcv,
	                 e.ru_msgsnd - s.ru_msgsnd, e.ru_nvcsw - s.ru_nvcsw, e.ru_nivcsw - s.ru_nivcsw);
	appendStringInfoChar(out, ',');
	const BufferUsage &b = pgBufferUsage;
	appendStringInfo(out, INT64_FORMAT "," INT64_FORMAT "," INT64_FORMAT "," INT64_FORMAT "," INT64_FORMAT
	                      "," INT64_FORMAT "," INT64_FORMAT "," INT64_FORMAT,
	                 static_cast<int64>(b.shared_blks_read), static_cast<int64>(b.shared_blks_written),
	                 static_cast<int64>(b.shared_blks_hit), static_cast<int64>(b.local_blks_read),
	                 static_cast<int64>(b.local_blks_written), static_cast<int64>(b.local_blks_hit),
	                 static_cast<int64>(b.temp_blks_read), static_cast<int64>(b.temp_blks_written));
	appendStringInfoChar(out, ',');
	const ParamListInfoData *params = r.params;
	if (params != nullptr && params->paramFetch == nullptr && params->numParams > 0)
	{
		appendStringInfo(out, "\"%u", params->params[0].ptype);
		for (int i = 1; i < params->numParams; i++)
			appendStringInfo(out, " %u", params->params[i].ptype);
		appendStringInfoChar(out, '"');
	}
	appendStringInfoChar(out, '\n');
}

void vrx_check_record(const StringInfoData &record, const vrx_record_fields &fields)
{
	StringInfoData reference;
	vrx_reference_record(&reference, fields);
	if (reference.len == record.len && memcmp(reference.data, record.data, record.len) == 0)
		ereport(LOG, (errmsg("vireo: record check: the record is its reference's bytes")));
	else
		ereport(LOG, (errmsg("vireo: record check: the record differs from its reference"),
		              errdetail("Built: %.*s Reference: %.*s", record.len, record.data, reference.len,
		                        reference.data)));
	pfree(reference.data);
}

// For tests: NULL when vrx_format_fixed6 writes value as the server's
// snprintf "%.6f" does, else both texts.
extern "C" Datum vrx_fixed6_differs(PG_FUNCTION_ARGS)
{
	const double value = PG_GETARG_FLOAT8(0);
	char ours[VRX_FIXED6_MAX];
	const size_t length = vrx_format_fixed6(ours, value);
	char theirs[VRX_FIXED6_MAX];
	const int n = pg_snprintf(theirs, sizeof(theirs), "%.6f", value);
	if (n >= 0 && static_cast<size_t>(n) == length && memcmp(ours, theirs, length) == 0)
		PG_RETURN_NULL();
	PG_RETURN_TEXT_P(cstring_to_text(psprintf("%.*s|%s", static_cast<int>(length), ours, theirs)));
}
