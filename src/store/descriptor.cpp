// Writer and reader of trace.ini, the trace descriptor.  The format is a
// fixed sequence of key=value lines:
//   Version, Status, Comments, StartTime, InitiatedBy, Users, Databases,
//   MaxSize, and, once known, EndTime and FinishTime.
#include "store/descriptor.hpp"

#include <sys/stat.h>

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

// Replaces trace.ini with text: written to a temporary file first and renamed
// over the old descriptor, so that a reader never sees a partial descriptor
// and a failed write keeps the old one.
static void replace_descriptor(const char *trace_id, const StringInfoData &text)
{
	char path[VRX_PATH_MAX];
	char temp_path[VRX_PATH_MAX];

	vrx_trace_file_path(path, trace_id, VRX_DESCRIPTOR_NAME);
	vrx_trace_file_path(temp_path, trace_id, VRX_DESCRIPTOR_TEMP_NAME);

	// A leftover temporary file is stale; a link planted under its name must
	// not be written through, so whatever is there goes first.
	(void) unlink(temp_path);
	FILE *file = AllocateFile(temp_path, PG_BINARY_W);
	if (file == nullptr)
		return;

	const size_t length = static_cast<size_t>(text.len);
	bool written = fwrite(text.data, 1, length, file) == length;
	written = (fflush(file) == 0) && written;
	written = (FreeFile(file) == 0) && written;
	if (written && rename(temp_path, path) == 0)
		return;

	unlink(temp_path);
	ereport(WARNING, (errmsg_internal("vireo: Couldn't write to the trace ini file '%s'", path)));
}

void vrx_save_trace(vrx_trace_slot *slot, char *comment, uint16 status)
{
	vrx_trace_registry *registry = vrx_shared_config;
	StringInfoData text;

	if (comment == nullptr)
	{
		vrx_trace_descriptor old;
		if (load_trace_ini(slot->trace_id, &old))
		{
			comment = old.comments.data;
			pfree(old.trace_id.data);
		}
		else
			comment = pstrdup("");
	}

	initStringInfo(&text);
	appendStringInfo(&text, "Version=%lf\nStatus=%d", slot->version, static_cast<int>(status));
	appendStringInfoString(&text, "\nComments=");
	appendStringInfoChar(&text, '"');
	for (const char *p = comment; *p != '\0'; p++)
	{
		appendStringInfoChar(&text, *p);
		if (*p == '"')
			appendStringInfoChar(&text, '"');
	}
	appendStringInfoChar(&text, '"');
	appendStringInfo(&text, "\nStartTime=%s", timestamptz_to_str(slot->start_time));
	appendStringInfo(&text, "\nInitiatedBy=%d\nUsers=", static_cast<int32>(slot->owner));
	append_oid_list(&text, slot->users_list);
	appendStringInfoString(&text, "\nDatabases=");
	append_oid_list(&text, slot->database_list);
	appendStringInfo(&text, "\nMaxSize=%lld", static_cast<long long>(slot->max_size));
	if (slot->end_time != 0)
		append_timestamp_line(&text, "EndTime", slot->end_time);

	if (status >= VRX_STATUS_DEACTIVATED && status <= VRX_STATUS_TIME_LIMIT)
	{
		TimestampTz now = GetCurrentTimestamp();
		if (slot->end_time == 0)
			append_timestamp_line(&text, "EndTime", now);
		append_timestamp_line(&text, "FinishTime", now);

		slot->start_time = 0;
		registry->active_count--;
		registry->last_change = now;
	}

	replace_descriptor(slot->trace_id, text);

	pfree(text.data);
	pfree(comment);
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
                                  vrx_trace_descriptor *d, StringInfo comment)
{
	const char *text = value.data; // null when absent
	const bool non_empty = text != nullptr && text[0] != '\0';
	int64 number;

	switch (key_index)
	{
		case 0: // Version
			return non_empty && str_to_float8(text, &d->version) &&
			       d->version == vrx_session_trace_version();
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
				well_formed = read_descriptor_value(line, value->value, descriptor, &comment);
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
