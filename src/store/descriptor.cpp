// Writer and reader of trace.ini, the trace descriptor.  The format is a
// fixed sequence of key=value lines:
//   Version, Status, Comments, StartTime, InitiatedBy, Users, Databases,
//   MaxSize, and, once known, EndTime and FinishTime.
#include "store/descriptor.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frame/settings.hpp"
#include "load/csv_reader.hpp"
#include "store/paths.hpp"

static void append_timestamp_line(StringInfo buffer, const char *key, TimestampTz ts)
{
	appendStringInfo(buffer, "\n%s=%s", key, timestamptz_to_str(ts));
}

static void append_oid_list(StringInfo buffer, const uint32 *list)
{
	for (int i = 0; i < VRX_MAX_LIST && list[i] != 0; i++)
		appendStringInfo(buffer, i == 0 ? "%u" : ",%u", list[i]);
}

// Writes all of text to fd; false (errno set) on a failed or short write.
static bool write_all(int fd, const char *data, size_t length)
{
	while (length > 0)
	{
		ssize_t n = write(fd, data, length);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
		{
			if (n == 0)
				errno = ENOSPC;
			return false;
		}
		data += n;
		length -= static_cast<size_t>(n);
	}
	return true;
}

bool vrx_write_descriptor_file(const char *trace_id, const StringInfoData &text,
                               vrx_descriptor_failure *failure)
{
	char path[VRX_PATH_MAX];
	char temp_path[VRX_PATH_MAX];

	vrx_trace_file_path(path, trace_id, VRX_DESCRIPTOR_NAME);
	vrx_trace_file_path(temp_path, trace_id, VRX_DESCRIPTOR_TEMP_NAME);
	snprintf(failure->path, sizeof(failure->path), "%s", path);
	snprintf(failure->temp_path, sizeof(failure->temp_path), "%s", temp_path);

	// A leftover temporary file is stale; a link planted under its name must
	// not be written through, so whatever is there goes first, and the new
	// file must be a new one.
	(void) unlink(temp_path);
	failure->step = "create";
	int fd = open(temp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | PG_BINARY,
	              pg_file_create_mode);
	if (fd < 0)
	{
		failure->error = errno;
		return false;
	}
	bool done = write_all(fd, text.data, static_cast<size_t>(text.len));
	failure->error = errno;
	if (close(fd) != 0 && done)
	{
		done = false;
		failure->error = errno;
	}
	if (done)
	{
		failure->step = "rename";
		if (rename(temp_path, path) == 0)
			return true;
		failure->error = errno;
	}
	else
		failure->step = "write";
	(void) unlink(temp_path);
	return false;
}

void vrx_report_descriptor_failure(const vrx_descriptor_failure &failure, int elevel)
{
	errno = failure.error;
	ereport(elevel,
	        (errmsg_internal("vireo: Couldn't write to the trace ini file '%s'", failure.path),
	         errdetail("Could not %s \"%s\": %m.", failure.step, failure.temp_path)));
}

void vrx_replace_descriptor(const char *trace_id, const StringInfoData &text)
{
	vrx_descriptor_failure failure;
	if (!vrx_write_descriptor_file(trace_id, text, &failure))
		vrx_report_descriptor_failure(failure, WARNING);
}

// Reads a descriptor; with any_version, whatever its trace version.
static bool read_descriptor(const char *trace_id, vrx_trace_descriptor *descriptor,
                            bool any_version);

void vrx_save_trace(const vrx_trace_slot &slot, const char *comment, uint16 status,
                    TimestampTz finish_time)
{
	StringInfoData text;
	vrx_trace_descriptor old = {};

	// Ending a trace keeps its comment, whichever explain format the ending
	// session uses.
	if (comment == nullptr)
		comment = read_descriptor(slot.trace_id, &old, true) ? old.comments.data : "";

	initStringInfo(&text);
	vrx_format_descriptor(&text, slot, comment, status, finish_time);
	vrx_replace_descriptor(slot.trace_id, text);

	pfree(text.data);
	vrx_free_descriptor(&old);
}

void vrx_format_descriptor(StringInfo text, const vrx_trace_slot &slot, const char *comment,
                           uint16 status, TimestampTz finish_time)
{
	appendStringInfo(text, "Version=%lf\nStatus=%d", slot.version, static_cast<int>(status));
	appendStringInfoString(text, "\nComments=");
	appendStringInfoChar(text, '"');
	for (const char *p = comment; *p != '\0'; p++)
	{
		appendStringInfoCharMacro(text, *p);
		if (*p == '"')
			appendStringInfoCharMacro(text, '"');
	}
	appendStringInfoChar(text, '"');
	appendStringInfo(text, "\nStartTime=%s", timestamptz_to_str(slot.start_time));
	appendStringInfo(text, "\nInitiatedBy=%d\nUsers=", static_cast<int32>(slot.owner));
	append_oid_list(text, slot.users_list);
	appendStringInfoString(text, "\nDatabases=");
	append_oid_list(text, slot.database_list);
	appendStringInfo(text, "\nMaxSize=%lld", static_cast<long long>(slot.max_size));
	if (slot.end_time != 0)
		append_timestamp_line(text, "EndTime", slot.end_time);

	if (status >= VRX_STATUS_DEACTIVATED && status <= VRX_STATUS_TIME_LIMIT)
	{
		if (slot.end_time == 0)
			append_timestamp_line(text, "EndTime", finish_time);
		append_timestamp_line(text, "FinishTime", finish_time);
	}
}

void vrx_free_descriptor(vrx_trace_descriptor *descriptor)
{
	if (descriptor->trace_id.data != nullptr)
		pfree(descriptor->trace_id.data);
	if (descriptor->comments.data != nullptr)
		pfree(descriptor->comments.data);
	descriptor->trace_id.data = nullptr;
	descriptor->comments.data = nullptr;
}

static const char *const descriptor_keys[] = {
    "Version", "Status",    "Comments", "StartTime", "InitiatedBy",
    "Users",   "Databases", "MaxSize",  "EndTime",   "FinishTime",
};
constexpr int DESCRIPTOR_KEYS = sizeof(descriptor_keys) / sizeof(descriptor_keys[0]);

// Parses a Users or Databases value ("10, 20," and the like) into list.
// False when malformed; entries out of the oid range are also reported on
// standard error.
static bool parse_oid_list(const char *value, uint32 *list, const char *what)
{
	const char *p = value;
	int n = 0;

	for (;;)
	{
		while (isspace(static_cast<unsigned char>(*p)))
			p++;
		if (*p == '\0')
			return true;

		char *end;
		errno = 0;
		long entry = strtol(p, &end, 10);
		if (end == p || errno == ERANGE)
			return false;
		// A list holds ten oids at most; a longer one only comes from a
		// hand-edited file, which is refused rather than cut short.
		if (n >= VRX_MAX_LIST)
			return false;
		list[n++] = static_cast<uint32>(entry);
		if (entry < 0 || entry > static_cast<long>(PG_UINT32_MAX))
		{
			fprintf(stderr, "UnderFlow(%s):%ld:%u", what, entry, static_cast<uint32>(entry));
			return false;
		}
		p = end;

		while (isspace(static_cast<unsigned char>(*p)))
			p++;
		if (*p == '\0')
			return true;
		if (*p != ',')
			return false;
		p++;
		if (*p == '\0')
			return true;
	}
}

// Checks the value of line number (0-based) key_index and stores it.
static bool read_descriptor_value(int key_index, const StringInfoData &value,
                                  vrx_trace_descriptor *d, StringInfo comment, bool any_version)
{
	const char *text = value.data; // null when absent
	const bool non_empty = text != nullptr && text[0] != '\0';
	int64 number;

	switch (key_index)
	{
		case 0: // Version
			return non_empty && str_to_float8(text, &d->version) &&
			       (d->version == vrx_session_trace_version() ||
			        (any_version &&
			         (d->version == VRX_VERSION_TEXT || d->version == VRX_VERSION_JSON)));
		case 1: // Status
			if (!non_empty || !str_to_long(text, &number) || number < 0 || number > 4)
				return false;
			d->status = static_cast<int16>(number);
			return true;
		case 2: // Comments
			resetStringInfo(comment);
			if (text != nullptr)
				appendBinaryStringInfo(comment, text, value.len);
			return true;
		case 3: // StartTime
			d->start_time = 0;
			return non_empty && str_to_timestamptz(text, &d->start_time);
		case 4: // InitiatedBy
			if (!str_to_long(text, &number))
				return false;
			d->owner = static_cast<int32>(number);
			return true;
		case 5: // Users
			memset(d->users_list, 0, sizeof(d->users_list));
			return text == nullptr || parse_oid_list(text, d->users_list, "USER");
		case 6: // Databases
			memset(d->database_list, 0, sizeof(d->database_list));
			return text == nullptr || parse_oid_list(text, d->database_list, "DB");
		case 7: // MaxSize
		{
			if (text == nullptr)
				return true;
			if (!non_empty)
				return false;
			char *end;
			errno = 0;
			long long size = strtoll(text, &end, 10);
			if (end == text || errno == ERANGE)
				return false;
			for (; *end != '\0'; end++)
			{
				if (!isspace(static_cast<unsigned char>(*end)))
					return false;
			}
			d->max_size = size;
			return true;
		}
		case 8: // EndTime
		case 9: // FinishTime
		{
			if (text == nullptr)
				return true;
			TimestampTz &target = key_index == 8 ? d->end_time : d->finish_time;
			target = 0;
			return non_empty && str_to_timestamptz(text, &target);
		}
		default:
			return true;
	}
}

bool load_trace_ini(const char *trace_id, vrx_trace_descriptor *descriptor)
{
	return read_descriptor(trace_id, descriptor, false);
}

static bool read_descriptor(const char *trace_id, vrx_trace_descriptor *descriptor,
                            bool any_version)
{
	char path[VRX_PATH_MAX];

	memset(descriptor, 0, sizeof(*descriptor));
	vrx_trace_file_path(path, trace_id, VRX_DESCRIPTOR_NAME);

	// vireo writes its descriptors as regular files.  Anything else planted
	// under the name is not one: opening a FIFO would block the caller for
	// good, and a link could lead to a device that never ends.
	struct stat st;
	if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
		return false;

	FILE *file = AllocateFile(path, PG_BINARY_R);
	if (file == nullptr)
		return false;

	// Records are read in a context of their own, emptied after each line.
	MemoryContext caller = CurrentMemoryContext;
	MemoryContext scratch = AllocSetContextCreate(caller, "vireo descriptor", ALLOCSET_SMALL_SIZES);
	StringInfoData comment;
	initStringInfo(&comment);

	bool well_formed = true;
	int64 position = 0;
	csv_record record;
	MemoryContextSwitchTo(scratch);
	for (int line = 0; get_next_vrx_csv_record(file, &position, '=', '\n', &record, false); line++)
	{
		if (line < DESCRIPTOR_KEYS)
		{
			const csv_field *key = record.first;
			const csv_field *value = key ? key->next : nullptr;
			if (key == nullptr || key->value.data == nullptr || value == nullptr ||
			    strcmp(key->value.data, descriptor_keys[line]) != 0)
				well_formed = false;
			else
			{
				MemoryContextSwitchTo(caller);
				well_formed =
				    read_descriptor_value(line, value->value, descriptor, &comment, any_version);
				MemoryContextSwitchTo(scratch);
			}
		}
		MemoryContextReset(scratch);
		if (!well_formed)
			break;
	}
	MemoryContextSwitchTo(caller);
	MemoryContextDelete(scratch);
	FreeFile(file);

	if (!well_formed)
	{
		pfree(comment.data);
		return false;
	}
	descriptor->comments = comment;
	initStringInfo(&descriptor->trace_id);
	appendStringInfoString(&descriptor->trace_id, trace_id);
	return true;
}
