#include "load/trace_files.hpp"

#include <sys/stat.h>

#include "frame/registry.hpp"
#include "load/csv_reader.hpp"
#include "store/descriptor.hpp"
#include "store/paths.hpp"

double vrx_open_trace(const char *trace_id)
{
	vrx_require_registry();
	vrx_check_trace_id(trace_id != nullptr ? trace_id : "");
	vrx_check_traces_root();

	vrx_trace_descriptor d;
	if (!load_trace_ini(trace_id, &d))
		ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
		                errmsg("Could not load the trace '%s'.", trace_id)));
	const Oid owner = static_cast<Oid>(d.owner);
	const double version = d.version;
	vrx_free_descriptor(&d);

	if (!superuser() && owner != GetUserId())
		ereport(ERROR, (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
		                errmsg("Trace (%s) is not intiated by this user. Only the super-user or "
		                       "the user who intiated the trace can load it.",
		                       trace_id)));
	return version;
}

// Whether name is the data file name of a pid, as the capture writes it:
// "trace-<pid>.csv" with the pid in decimal without leading zeros.  Other
// names that read as a number ("trace-012.csv") would share the position
// row of that pid.
static bool data_file_name(const char *name, int32 *pid)
{
	if (!vrx_data_file_name(name, pid) || *pid < 0)
		return false;
	char canonical[32];
	snprintf(canonical, sizeof(canonical), "trace-%d.csv", *pid);
	return strcmp(name, canonical) == 0;
}

static int by_pid(const ListCell *a, const ListCell *b)
{
	const int32 x = static_cast<vrx_data_file *>(lfirst(a))->pid;
	const int32 y = static_cast<vrx_data_file *>(lfirst(b))->pid;
	return x < y ? -1 : x > y ? 1 : 0;
}

// Regular files under a data file name, by pid, so that reading the same
// files always gives the same rows in the same order (and the loader the
// same query ids).  A FIFO or device planted under such a name would block
// the reader or give it something that is not a trace.
bool vrx_list_data_files(const char *dir_path, List **result)
{
	DIR *dir = AllocateDir(dir_path);
	if (dir == nullptr)
		return false;
	List *files = NIL;
	struct dirent *de;
	while ((de = ReadDir(dir, dir_path)) != nullptr)
	{
		int32 pid;
		char path[VRX_PATH_MAX];
		struct stat st;
		if (!data_file_name(de->d_name, &pid))
			continue;
		snprintf(path, sizeof(path), "%s/%s", dir_path, de->d_name);
		if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
			continue;
		auto *file = static_cast<vrx_data_file *>(palloc0(sizeof(vrx_data_file)));
		file->pid = pid;
		files = lappend(files, file);
	}
	FreeDir(dir);
	list_sort(files, by_pid);
	*result = files;
	return true;
}

struct vrx_data_file_reader
{
	FILE *stream;
	vrx_record_reader *records;
	int32 pid;
	vrx_record record;
};

vrx_data_file_reader *vrx_open_data_file(const char *dir_path, int32 pid, int64 start)
{
	char path[VRX_PATH_MAX];
	snprintf(path, sizeof(path), "%s/trace-%d.csv", dir_path, pid);
	FILE *stream = AllocateFile(path, "r");
	if (stream == nullptr)
		return nullptr;
	auto *file = static_cast<vrx_data_file_reader *>(palloc0(sizeof(vrx_data_file_reader)));
	file->stream = stream;
	file->pid = pid;
	file->records = vrx_record_reader_open(stream, start);
	return file;
}

vrx_read_result vrx_next_record(vrx_data_file_reader *file, const vrx_convert_options &options,
                                MemoryContext row_cxt, vrx_profile_row *row, int64 *position)
{
	if (!vrx_read_record(file->records, &file->record, position))
		return vrx_read_result::done;
	switch (vrx_convert_record(file->record, options, file->pid, row_cxt, row))
	{
		case vrx_record_outcome::insert:
			return vrx_read_result::row;
		case vrx_record_outcome::skip:
			return vrx_read_result::skip;
		case vrx_record_outcome::stop:
			break;
	}
	return vrx_read_result::done;
}

void vrx_close_data_file(vrx_data_file_reader *file)
{
	vrx_record_reader_close(file->records);
	FreeFile(file->stream);
	pfree(file);
}
