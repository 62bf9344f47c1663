#include "capture/data_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include "capture/record_check.hpp"
#include "capture/record_format.hpp"
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

// A record built in memory.  A cancel or timeout found waiting between two
// chunks of a long text stops it.  The buffer is allocated beforehand at
// vrx_record_size_bound, so each piece is copied in place (a record that
// outgrew the bound would still grow the buffer as it needs); the
// terminating NUL is written once, at the end.
struct string_sink
{
	StringInfo buffer;
	void put(const char *p, size_t n)
	{
		if (likely(n < static_cast<size_t>(buffer->maxlen - buffer->len)))
		{
			memcpy(buffer->data + buffer->len, p, n);
			buffer->len += static_cast<int>(n);
		}
		else
			appendBinaryStringInfo(buffer, p, static_cast<int>(n));
	}
	bool stop() const { return QueryCancelPending; }
	void finish() { buffer->data[buffer->len] = '\0'; }
};

size_t vrx_record_size_bound(const vrx_record_fields &fields)
{
	// Timestamps, numbers, separators and the line feed take well under 1 kB
	// (a duration printed with %.6f takes at most 317 characters); a quoted
	// text at most twice its length and two quotes; a parameter type 11.
	size_t bound = 1024;
	if (application_name != nullptr)
		bound += 2 * strlen(application_name) + 2;
	bound += 2 * fields.text.len + 2;
	bound += 2 * fields.plan.len + 2;
	if (fields.params != nullptr)
		bound += 11 * static_cast<size_t>(Max(fields.params->numParams, 0));
	return bound;
}

bool write_csv_profiler(StringInfo buffer, const vrx_record_fields &fields)
{
	// Allocated at its bound at once (fits made sure it is below 1 GB),
	// rather than at initStringInfo's 1 kB and then enlarged.
	const size_t size = vrx_record_size_bound(fields) + 1;
	buffer->data = static_cast<char *>(palloc(size));
	buffer->maxlen = static_cast<int>(size);
	resetStringInfo(buffer);
	string_sink sink = {buffer};
	if (!vireo_check_records)
	{
		const bool whole = vrx_put_record(sink, fields);
		sink.finish();
		return whole;
	}

	// Both builds see the same end usage.
	struct rusage end;
	vrx_getrusage(&end);
	vrx_record_fields checked = fields;
	checked.rusage_end = &end;
	const bool whole = vrx_put_record(sink, checked);
	sink.finish();
	if (!whole)
		return false;
	vrx_check_record(*buffer, checked);
	return true;
}
