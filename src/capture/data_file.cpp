#include "capture/data_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include "capture/timestamp_text.hpp"
#include "frame/pg_compat.hpp"
#include "frame/registry.hpp"
#include "frame/settings.hpp"
#include "store/paths.hpp"

bool vrx_open_trace_files(vrx_open_trace *entry)
{
	char path[VRX_PATH_MAX];

	vrx_data_file_path(path, entry->trace_id, MyProcPid);

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

// Bytes of a text quoted between two looks at pending interrupts.
static constexpr size_t QUOTING_CHUNK = 1024 * 1024;

// Appends value between double quotes, doubling every quote inside it.  A
// long value is quoted in chunks; false, leaving the buffer partly built,
// when a query cancel or timeout is found waiting between two of them.
static bool append_quoted(StringInfo buffer, const char *value)
{
	const size_t length = strlen(value);
	const char *const end = value + length;
	enlargeStringInfo(buffer, static_cast<int>(Min(2 * length + 2, MaxAllocSize / 2)));
	appendStringInfoCharMacro(buffer, '"');
	for (const char *chunk = value; chunk < end; chunk += QUOTING_CHUNK)
	{
		if (chunk != value && QueryCancelPending)
			return false;
		const char *const chunk_end = chunk + Min(QUOTING_CHUNK, static_cast<size_t>(end - chunk));
		for (const char *p = chunk; p < chunk_end;)
		{
			const char *quote = static_cast<const char *>(memchr(p, '"', chunk_end - p));
			if (quote == nullptr)
			{
				appendBinaryStringInfo(buffer, p, static_cast<int>(chunk_end - p));
				break;
			}
			appendBinaryStringInfo(buffer, p, static_cast<int>(quote - p + 1));
			appendStringInfoCharMacro(buffer, '"');
			p = quote + 1;
		}
	}
	appendStringInfoCharMacro(buffer, '"');
	return true;
}

// Numbers are written without the general-purpose formatting routines.
static void append_uint64(StringInfo buffer, uint64 value)
{
	char digits[20];
	char *p = digits + sizeof(digits);
	do
	{
		*--p = static_cast<char>('0' + value % 10);
		value /= 10;
	} while (value != 0);
	appendBinaryStringInfo(buffer, p, static_cast<int>(digits + sizeof(digits) - p));
}

static void append_int64(StringInfo buffer, int64 value)
{
	if (value < 0)
	{
		appendStringInfoCharMacro(buffer, '-');
		append_uint64(buffer, 0 - static_cast<uint64>(value));
	}
	else
		append_uint64(buffer, static_cast<uint64>(value));
}

// Appends the values, each followed by a comma.
template <typename T, size_t N> static void append_list(StringInfo buffer, const T (&values)[N])
{
	for (const T value : values)
	{
		append_int64(buffer, static_cast<int64>(value));
		appendStringInfoCharMacro(buffer, ',');
	}
}

size_t vrx_record_size_bound(const QueryDesc *query_desc, const char *query_text, const char *plan)
{
	// Timestamps, numbers, separators and the line feed take well under 1 kB
	// (a duration printed with %.6f takes at most 317 characters); a quoted
	// text at most twice its length and two quotes; a parameter type 11.
	size_t bound = 1024;
	if (application_name != nullptr)
		bound += 2 * strlen(application_name) + 2;
	if (query_text != nullptr)
		bound += 2 * strlen(query_text) + 2;
	if (plan != nullptr)
		bound += 2 * strlen(plan) + 2;
	if (query_desc->params != nullptr)
		bound += 11 * static_cast<size_t>(Max(query_desc->params->numParams, 0));
	return bound;
}

bool write_csv_profiler(StringInfo buffer, QueryDesc *query_desc, const vrx_statement &st,
                        const char *query_text, const char *plan, double duration_ms)
{
	initStringInfo(buffer);
	record_end_time = GetCurrentTimestamp();

	vrx_append_timestamptz(buffer, st.start_time);
	appendStringInfoCharMacro(buffer, ',');
	vrx_append_timestamptz(buffer, record_end_time);
	appendStringInfoCharMacro(buffer, ',');

	if (application_name != nullptr)
		(void) append_quoted(buffer, application_name); // at most NAMEDATALEN bytes
	appendStringInfoCharMacro(buffer, ',');
	const uint32 ids[] = {GetUserId(), MyDatabaseId, vrx_command_type(query_desc->operation)};
	append_list(buffer, ids);

	if (query_text != nullptr && !append_quoted(buffer, query_text))
		return false;
	appendStringInfoCharMacro(buffer, ',');

	if (plan != nullptr && !append_quoted(buffer, plan))
		return false;
	appendStringInfoCharMacro(buffer, ',');

	appendStringInfo(buffer, "%.6f,", duration_ms);
	append_uint64(buffer, st.rows);
	appendStringInfoCharMacro(buffer, ',');

	struct rusage e;
	vrx_getrusage(&e);
	const struct rusage &s = st.rusage_start;
	const long usage[] = {e.ru_inblock - s.ru_inblock, e.ru_oublock - s.ru_oublock,
	                      e.ru_majflt - s.ru_majflt,   e.ru_minflt - s.ru_minflt,
	                      e.ru_nswap - s.ru_nswap,     e.ru_nsignals - s.ru_nsignals,
	                      e.ru_msgrcv - s.ru_msgrcv,   e.ru_msgsnd - s.ru_msgsnd,
	                      e.ru_nvcsw - s.ru_nvcsw,     e.ru_nivcsw - s.ru_nivcsw};
	append_list(buffer, usage);

	const BufferUsage &b = pgBufferUsage;
	const int64 blocks[] = {b.shared_blks_read,  b.shared_blks_written, b.shared_blks_hit,
	                        b.local_blks_read,   b.local_blks_written,  b.local_blks_hit,
	                        b.temp_blks_read,    b.temp_blks_written};
	append_list(buffer, blocks);

	ParamListInfo params = query_desc->params;
	if (params != nullptr && params->numParams > 0)
	{
		appendStringInfoCharMacro(buffer, '"');
		for (int i = 0; i < params->numParams; i++)
		{
			if (i > 0)
				appendStringInfoCharMacro(buffer, ' ');
			append_uint64(buffer, params->params[i].ptype);
		}
		appendStringInfoCharMacro(buffer, '"');
	}
	appendStringInfoCharMacro(buffer, '\n');
	return true;
}
