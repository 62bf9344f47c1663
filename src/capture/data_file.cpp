#include "capture/data_file.hpp"

#include <fcntl.h>

#include "frame/registry.hpp"
#include "frame/settings.hpp"
#include "store/paths.hpp"

bool vrx_open_trace_files(vrx_open_trace *entry)
{
	const vrx_trace_slot &slot = vrx_shared_config->slots[entry->slot_index];
	char path[VRX_PATH_MAX];

	snprintf(path, sizeof(path), "%s/%s/trace-%d.csv", VRX_TRACES_ROOT, slot.trace_id, MyProcPid);

	// Opened like fopen(path, "a"), but a link planted under the file's name
	// is refused rather than written through.
	int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | PG_BINARY, 0666);
	FILE *file = fd >= 0 ? fdopen(fd, "a") : nullptr;
	if (file == nullptr)
	{
		if (fd >= 0)
		{
			int saved = errno;
			close(fd);
			errno = saved;
		}
		ereport(WARNING, (errcode_for_file_access(),
		                  errmsg("vireo: Could not create the trace file \"%s\": %m", path)));
		return false;
	}
	setvbuf(file, nullptr, _IOLBF, BUFSIZ);
	entry->file = file;

	if (min_log_min_duration == -1 || slot.log_min_duration < min_log_min_duration)
		min_log_min_duration = slot.log_min_duration;

	if (!explain_json_needed && slot.version == VRX_VERSION_JSON)
		explain_json_needed = true;
	else if (!explain_text_needed && slot.version == VRX_VERSION_TEXT)
		explain_text_needed = true;
	return true;
}

// Appends value between double quotes, doubling every quote inside it.
static void append_quoted(StringInfo buffer, const char *value)
{
	appendStringInfoCharMacro(buffer, '"');
	for (const char *p = value; *p != '\0'; p++)
	{
		appendStringInfoCharMacro(buffer, *p);
		if (*p == '"')
			appendStringInfoCharMacro(buffer, '"');
	}
	appendStringInfoCharMacro(buffer, '"');
}

static void append_timestamp(StringInfo buffer, TimestampTz ts)
{
	appendStringInfoString(buffer, timestamptz_to_str(ts));
	appendStringInfoChar(buffer, ',');
}

void write_csv_profiler(StringInfo buffer, QueryDesc *query_desc)
{
	initStringInfo(buffer);
	record_end_time = GetCurrentTimestamp();

	append_timestamp(buffer, statement_start);
	append_timestamp(buffer, record_end_time);

	if (application_name != nullptr)
		append_quoted(buffer, application_name);

	appendStringInfo(buffer, ",%u,%u,%u,", GetUserId(), MyDatabaseId,
	                 static_cast<unsigned>(query_desc->operation));

	if (query_desc->sourceText != nullptr)
		append_quoted(buffer, query_desc->sourceText);
	appendStringInfoChar(buffer, ',');

	if (vrx_explain.data != nullptr)
		append_quoted(buffer, vrx_explain.data);
	appendStringInfoChar(buffer, ',');

	appendStringInfo(buffer, "%.6f," UINT64_FORMAT ",", plan_duration_ms,
	                 query_desc->estate->es_processed);

	getrusage(RUSAGE_SELF, &vrx_rusage_end);
	const struct rusage &s = vrx_rusage_start;
	const struct rusage &e = vrx_rusage_end;
	appendStringInfo(buffer, "%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld", e.ru_inblock - s.ru_inblock,
	                 e.ru_oublock - s.ru_oublock, e.ru_majflt - s.ru_majflt,
	                 e.ru_minflt - s.ru_minflt, e.ru_nswap - s.ru_nswap,
	                 e.ru_nsignals - s.ru_nsignals, e.ru_msgrcv - s.ru_msgrcv,
	                 e.ru_msgsnd - s.ru_msgsnd, e.ru_nvcsw - s.ru_nvcsw, e.ru_nivcsw - s.ru_nivcsw);
	appendStringInfoChar(buffer, ',');

	const BufferUsage &b = pgBufferUsage;
	appendStringInfo(
	    buffer,
	    INT64_FORMAT "," INT64_FORMAT "," INT64_FORMAT "," INT64_FORMAT "," INT64_FORMAT
	                 "," INT64_FORMAT "," INT64_FORMAT "," INT64_FORMAT,
	    b.shared_blks_read, b.shared_blks_written, b.shared_blks_hit, b.local_blks_read,
	    b.local_blks_written, b.local_blks_hit, b.temp_blks_read, b.temp_blks_written);
	appendStringInfoChar(buffer, ',');

	ParamListInfo params = query_desc->params;
	if (params != nullptr && params->numParams > 0)
	{
		appendStringInfo(buffer, "\"%u", params->params[0].ptype);
		for (int i = 1; i < params->numParams; i++)
			appendStringInfo(buffer, " %u", params->params[i].ptype);
		appendStringInfoChar(buffer, '"');
	}
	appendStringInfoChar(buffer, '\n');
}
