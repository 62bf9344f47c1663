// Writer and reader of trace.ini, the trace descriptor.  The format is a
// fixed sequence of key=value lines:
//   Version, Status, Comments, StartTime, InitiatedBy, Users, Databases,
//   MaxSize, and, once known, EndTime and FinishTime; then PlanMinDuration
//   and SampleRate, each only when it differs from the default (every record
//   carries its plan; every statement is recorded), so that the descriptor
//   of a trace that uses neither reads as before.
#include "store/descriptor.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frame/settings.hpp"
#include "load/csv_reader.hpp"
#include "store/paths.hpp"

// The text around a descriptor's comment: "Version=...\nStatus=...\nComments="
// before it, "\nStartTime=..." to the end after it.  Both are bounded (a
// timestamp, numbers, twenty oids), so they are formatted without allocating.
struct descriptor_frame
{
	char head[64];
	char tail[1536];
	size_t head_len;
	size_t tail_len;
};

// Appends to a fixed buffer; the frame's buffers are sized so that nothing
// is ever cut, and a cut text is caught by the static size check below.
static void frame_append(char *buffer, size_t size, size_t *len, const char *format, ...)
    pg_attribute_printf(4, 5);

static void frame_append(char *buffer, size_t size, size_t *len, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	int n = vsnprintf(buffer + *len, size - *len, format, args);
	va_end(args);
	if (n > 0)
		*len = Min(*len + static_cast<size_t>(n), size - 1);
}

// Keys, a timestamp three times (MAXDATELEN each), 22 numbers and their
// separators.
static_assert(sizeof(descriptor_frame::tail) > 3 * (MAXDATELEN + 16) + 22 * 22 + 128,
              "a descriptor's tail must fit its buffer");

static void format_frame(descriptor_frame *f, const vrx_trace_slot &slot, uint16 status,
                         TimestampTz finish_time)
{
	f->head_len = 0;
	f->tail_len = 0;
	frame_append(f->head, sizeof(f->head), &f->head_len, "Version=%lf\nStatus=%d\nComments=",
	             slot.version, static_cast<int>(status));

	char *t = f->tail;
	const size_t size = sizeof(f->tail);
	size_t *len = &f->tail_len;
	frame_append(t, size, len, "\nStartTime=%s", timestamptz_to_str(slot.start_time));
	frame_append(t, size, len, "\nInitiatedBy=%d\nUsers=", static_cast<int32>(slot.owner));
	for (int i = 0; i < VRX_MAX_LIST && slot.users_list[i] != 0; i++)
		frame_append(t, size, len, i == 0 ? "%u" : ",%u", slot.users_list[i]);
	frame_append(t, size, len, "\nDatabases=");
	for (int i = 0; i < VRX_MAX_LIST && slot.database_list[i] != 0; i++)
		frame_append(t, size, len, i == 0 ? "%u" : ",%u", slot.database_list[i]);
	frame_append(t, size, len, "\nMaxSize=%lld", static_cast<long long>(slot.max_size));
	if (slot.end_time != 0)
		frame_append(t, size, len, "\nEndTime=%s", timestamptz_to_str(slot.end_time));
	if (status >= VRX_STATUS_DEACTIVATED && status <= VRX_STATUS_TIME_LIMIT)
	{
		if (slot.end_time == 0)
			frame_append(t, size, len, "\nEndTime=%s", timestamptz_to_str(finish_time));
		frame_append(t, size, len, "\nFinishTime=%s", timestamptz_to_str(finish_time));
	}
	if (slot.plan_min_duration >= 0)
		frame_append(t, size, len, "\nPlanMinDuration=%d", static_cast<int>(slot.plan_min_duration));
	// Enough digits that the rate reads back as the same double.
	if (slot.sample_rate < 1.0)
		frame_append(t, size, len, "\nSampleRate=%.17g", slot.sample_rate);
}

void vrx_format_descriptor(StringInfo text, const vrx_trace_slot &slot, const char *comment,
                           uint16 status, TimestampTz finish_time)
{
	descriptor_frame frame;
	format_frame(&frame, slot, status, finish_time);

	appendBinaryStringInfo(text, frame.head, static_cast<int>(frame.head_len));
	appendStringInfoChar(text, '"');
	for (const char *p = comment; *p != '\0'; p++)
	{
		appendStringInfoCharMacro(text, *p);
		if (*p == '"')
			appendStringInfoCharMacro(text, '"');
	}
	appendStringInfoChar(text, '"');
	appendBinaryStringInfo(text, frame.tail, static_cast<int>(frame.tail_len));
}

// Writes all of data to fd; false (errno set) on a failed or short write.
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

struct text_piece
{
	const char *data;
	size_t length;
};

// Writes the pieces, one after the other, as the new trace.ini.
template <size_t N>
static bool write_descriptor_pieces(const char *trace_id, const text_piece (&pieces)[N],
                                    vrx_descriptor_failure *failure)
{
	char path[VRX_PATH_MAX];
	char temp_path[VRX_PATH_MAX];

	vrx_trace_file_path(path, trace_id, VRX_DESCRIPTOR_NAME);
	vrx_trace_file_path(temp_path, trace_id, VRX_DESCRIPTOR_TEMP_NAME);
	snprintf(failure->path, sizeof(failure->path), "%s", path);
	snprintf(failure->file, sizeof(failure->file), "%s", temp_path);

	// A leftover temporary file is stale; a link planted under its name must
	// not be written through, so whatever is there goes first, and the new
	// file must be a new one.
	(void) unlink(temp_path);
	failure->step = "create";
	int fd = open(temp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | PG_BINARY,
	              pg_file_create_mode);
	if (fd < 0)
	{
		failure->error = errno;
		return false;
	}
	bool done = true;
	for (const text_piece &piece : pieces)
		done = done && write_all(fd, piece.data, piece.length);
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

bool vrx_write_descriptor_file(const char *trace_id, const StringInfoData &text,
                               vrx_descriptor_failure *failure)
{
	const text_piece pieces[] = {{text.data, static_cast<size_t>(text.len)}};
	return write_descriptor_pieces(trace_id, pieces, failure);
}

void vrx_report_descriptor_failure(const vrx_descriptor_failure &failure, int elevel)
{
	errno = failure.error;
	ereport(elevel,
	        (errmsg_internal("vireo: Couldn't write to the trace ini file '%s'", failure.path),
	         errdetail("Could not %s \"%s\": %m.", failure.step, failure.file)));
}

// The comment of the descriptor at path as it is stored: a double quote, its
// bytes with each double quote doubled, a double quote.  Returns it in a
// buffer from malloc (the caller frees it), or null when there is no such
// descriptor or it holds no quoted comment.  False, with errno set, when the
// descriptor exists but cannot be read.
static bool read_stored_comment(const char *path, char **comment, size_t *length)
{
	*comment = nullptr;
	*length = 0;

	// Only a regular file is read; nothing planted under the name can make
	// the read wait or lead elsewhere.
	int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | PG_BINARY);
	if (fd < 0)
		return errno == ENOENT || errno == ELOOP;
	struct stat st;
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
	    st.st_size > static_cast<off_t>(MaxAllocSize))
	{
		close(fd);
		return true;
	}
	const size_t size = static_cast<size_t>(st.st_size);
	char *data = static_cast<char *>(malloc(size + 1));
	if (data == nullptr)
	{
		close(fd);
		errno = ENOMEM;
		return false;
	}
	size_t have = 0;
	while (have < size)
	{
		ssize_t n = read(fd, data + have, size - have);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
		{
			int saved = errno;
			close(fd);
			free(data);
			errno = saved;
			return false;
		}
		if (n == 0)
			break;
		have += static_cast<size_t>(n);
	}
	close(fd);

	// Lines 1 and 2 (Version, Status) hold no quotes and no line feeds.
	const char *end = data + have;
	const char *p = data;
	for (int line = 0; line < 2 && p != nullptr; line++)
	{
		p = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
		if (p != nullptr)
			p++;
	}
	constexpr size_t key_len = sizeof("Comments=") - 1;
	if (p == nullptr || static_cast<size_t>(end - p) <= key_len ||
	    memcmp(p, "Comments=\"", key_len + 1) != 0)
	{
		free(data);
		return true;
	}
	const char *open_quote = p + key_len;
	const char *q = open_quote + 1;
	while (q < end)
	{
		if (*q == '"')
		{
			if (q + 1 < end && q[1] == '"')
			{
				q += 2;
				continue;
			}
			break;
		}
		q++;
	}
	if (q >= end)
	{
		free(data);
		return true;
	}
	*length = static_cast<size_t>(q - open_quote + 1);
	memmove(data, open_quote, *length);
	*comment = data;
	return true;
}

void vrx_save_trace(const vrx_trace_slot &slot, uint16 status, TimestampTz finish_time,
                    int elevel)
{
	vrx_descriptor_failure failure;
	descriptor_frame frame;
	char *comment;
	size_t comment_len;

	format_frame(&frame, slot, status, finish_time);
	vrx_trace_file_path(failure.path, slot.trace_id, VRX_DESCRIPTOR_NAME);
	if (!read_stored_comment(failure.path, &comment, &comment_len))
	{
		failure.step = "read";
		failure.error = errno;
		snprintf(failure.file, sizeof(failure.file), "%s", failure.path);
		vrx_report_descriptor_failure(failure, elevel);
		return;
	}

	const text_piece pieces[] = {
	    {frame.head, frame.head_len},
	    {comment != nullptr ? comment : "\"\"", comment != nullptr ? comment_len : 2},
	    {frame.tail, frame.tail_len},
	};
	const bool written = write_descriptor_pieces(slot.trace_id, pieces, &failure);
	free(comment);
	if (!written)
		vrx_report_descriptor_failure(failure, elevel);
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
    "Version",   "Status",     "Comments",        "StartTime",  "InitiatedBy", "Users",
    "Databases", "MaxSize",    "EndTime",         "FinishTime", "PlanMinDuration", "SampleRate",
};
constexpr int DESCRIPTOR_KEYS = sizeof(descriptor_keys) / sizeof(descriptor_keys[0]);
// The keys from here on are each optional, in their order.
constexpr int FIRST_OPTIONAL_KEY = 8;

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
		case 10: // PlanMinDuration
			if (!non_empty || !str_to_long(text, &number) || number < -1 || number > PG_INT32_MAX)
				return false;
			d->plan_min_duration = static_cast<int32>(number);
			return true;
		case 11: // SampleRate
			return non_empty && str_to_float8(text, &d->sample_rate) && d->sample_rate >= 0.0 &&
			       d->sample_rate <= 1.0;
		default:
			return true;
	}
}

static bool read_descriptor(const char *trace_id, vrx_trace_descriptor *descriptor,
                            bool any_version);

bool load_trace_ini(const char *trace_id, vrx_trace_descriptor *descriptor)
{
	return read_descriptor(trace_id, descriptor, false);
}

bool vrx_read_any_descriptor(const char *trace_id, vrx_trace_descriptor *descriptor)
{
	return read_descriptor(trace_id, descriptor, true);
}

static bool read_descriptor(const char *trace_id, vrx_trace_descriptor *descriptor,
                            bool any_version)
{
	char path[VRX_PATH_MAX];

	memset(descriptor, 0, sizeof(*descriptor));
	descriptor->plan_min_duration = -1;
	descriptor->sample_rate = 1.0;
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
	// The key the next line holds: the fixed ones in order, then each
	// optional one that is there, in order.  From the eleventh line on, a
	// line that holds none of them ends the descriptor: what follows is
	// ignored, as it always was.
	int next_key = 0;
	for (int line = 0; get_next_vrx_csv_record(file, &position, '=', '\n', &record, false); line++)
	{
		if (next_key < DESCRIPTOR_KEYS)
		{
			const csv_field *key = record.first;
			const csv_field *value = key ? key->next : nullptr;
			int k = next_key;
			if (key != nullptr && key->value.data != nullptr && k >= FIRST_OPTIONAL_KEY)
			{
				while (k < DESCRIPTOR_KEYS && strcmp(key->value.data, descriptor_keys[k]) != 0)
					k++;
			}
			const bool known = key != nullptr && key->value.data != nullptr && k < DESCRIPTOR_KEYS &&
			                   strcmp(key->value.data, descriptor_keys[k]) == 0;
			if (!known && line >= 10)
				next_key = DESCRIPTOR_KEYS;
			else if (!known || value == nullptr)
				well_formed = false;
			else
			{
				MemoryContextSwitchTo(caller);
				well_formed = read_descriptor_value(k, value->value, descriptor, &comment, any_version);
				MemoryContextSwitchTo(scratch);
				next_key = k + 1;
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
