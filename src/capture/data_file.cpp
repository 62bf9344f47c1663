#include "capture/data_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include "frame/registry.hpp"
#include "frame/settings.hpp"
#include "store/paths.hpp"

bool vrx_open_trace_files(vrx_open_trace *entry)
{
	char path[VRX_PATH_MAX];

	snprintf(path, sizeof(path), "%s/%s/trace-%d.csv", VRX_TRACES_ROOT, entry->trace_id, MyProcPid);

	// A link planted under the file's name is refused rather than written
	// through; a FIFO there fails at once (no reader) instead of blocking
	// the backend; whatever else is not a regular file is refused as well.
	int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | PG_BINARY,
	              pg_file_create_mode);
	if (fd >= 0)
	{
		struct stat st;
		int flags = fcntl(fd, F_GETFL);
		if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
		    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
		{
			close(fd);
			fd = -1;
			errno = EEXIST;
		}
	}
	if (fd < 0)
	{
		ereport(WARNING, (errcode_for_file_access(),
		                  errmsg("vireo: Could not create the trace file \"%s\": %m", path)));
		return false;
	}
	entry->fd = fd;
	return true;
}

bool vrx_write_record(const vrx_open_trace *entry, const StringInfoData &record)
{
	ssize_t written;
	do
		written = write(entry->fd, record.data, static_cast<size_t>(record.len));
	while (written < 0 && errno == EINTR);
	return written == record.len;
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

size_t vrx_record_size_bound(const QueryDesc *query_desc, const char *plan)
{
	// Timestamps, numbers, separators and the line feed take well under 1 kB
	// (a duration printed with %.6f takes at most 317 characters); a quoted
	// text at most twice its length and two quotes; a parameter type 11.
	size_t bound = 1024;
	if (application_name != nullptr)
		bound += 2 * strlen(application_name) + 2;
	if (query_desc->sourceText != nullptr)
		bound += 2 * strlen(query_desc->sourceText) + 2;
	if (plan != nullptr)
		bound += 2 * strlen(plan) + 2;
	if (query_desc->params != nullptr)
		bound += 11 * static_cast<size_t>(Max(query_desc->params->numParams, 0));
	return bound;
}

void write_csv_profiler(StringInfo buffer, QueryDesc *query_desc, const vrx_statement &st,
                        const char *plan, double duration_ms)
{
	initStringInfo(buffer);
	record_end_time = GetCurrentTimestamp();

	append_timestamp(buffer, st.start_time);
	append_timestamp(buffer, record_end_time);

	if (application_name != nullptr)
		append_quoted(buffer, application_name);

	appendStringInfo(buffer, ",%u,%u,%u,", GetUserId(), MyDatabaseId,
	                 static_cast<unsigned>(query_desc->operation));

	if (query_desc->sourceText != nullptr)
		append_quoted(buffer, query_desc->sourceText);
	appendStringInfoChar(buffer, ',');

	if (plan != nullptr)
		append_quoted(buffer, plan);
	appendStringInfoChar(buffer, ',');

	appendStringInfo(buffer, "%.6f," UINT64_FORMAT ",", duration_ms,
	                 query_desc->estate->es_processed);

	struct rusage e;
	getrusage(RUSAGE_SELF, &e);
	const struct rusage &s = st.rusage_start;
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
