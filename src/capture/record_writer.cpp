#include "capture/record_writer.hpp"

#include <type_traits>

#include "capture/data_file.hpp"
#include "capture/free_space.hpp"
#include "capture/trace_scan.hpp"
#include "frame/settings.hpp"
#include "store/descriptor.hpp"
#include "store/paths.hpp"

MemoryContext vrx_quiet_context = nullptr;
bool vrx_pending_ends = false;

// The buffer through which quiet records go out.  A record that does not fit
// goes out in several writes.
static constexpr size_t QUIET_BUFFER_SIZE = 64 * 1024;
static char *quiet_buffer = nullptr;

void vrx_reserve_quiet_memory(void)
{
	vrx_quiet_context = AllocSetContextCreate(TopMemoryContext, "vireo quiet records",
	                                          VRX_QUIET_CONTEXT_SIZE, VRX_QUIET_CONTEXT_SIZE,
	                                          VRX_QUIET_CONTEXT_SIZE);
	quiet_buffer = static_cast<char *>(MemoryContextAlloc(TopMemoryContext, QUIET_BUFFER_SIZE));
}

static void mark_end(vrx_open_trace *entry, vrx_pending_end why)
{
	if (entry->pending_end == vrx_pending_end::none)
		entry->pending_end = why;
	vrx_pending_ends = true;
}

bool vrx_trace_takes_record(vrx_open_trace *entry, TimestampTz end_time, double duration_ms)
{
	if (entry->pending_end != vrx_pending_end::none)
		return false;
	if (entry->end_time != 0 && entry->end_time < end_time)
	{
		mark_end(entry, vrx_pending_end::time_limit);
		return false;
	}
	return duration_ms >= entry->log_min_duration;
}

bool vrx_claim_record_space(vrx_open_trace *entry, size_t bytes, vrx_space_claim *claim)
{
	if (vrx_claim_free_space(bytes, claim))
		return true;
	entry->free_mb = claim->free_mb;
	entry->floor_mb = claim->floor_mb;
	mark_end(entry, vrx_pending_end::free_space);
	return false;
}

void vrx_record_written(vrx_open_trace *entry, size_t bytes, bool whole)
{
	if (!whole)
	{
		mark_end(entry, vrx_pending_end::write_failed);
		return;
	}

	// Every trace counts what it holds; the counter tells exactly one
	// backend that it took a trace with a size limit past it.
	uint64 size;
	const uint64 max_size = static_cast<uint64>(entry->max_size);
	if (vrx_counter_add(&vrx_shared_config->live[entry->slot_index].log_size, VRX_LOG_SIZE_TAG_SHIFT,
	                    entry->generation, static_cast<int64>(bytes), &size) &&
	    max_size != 0 && size >= max_size && size - bytes < max_size)
		mark_end(entry, vrx_pending_end::size_limit);
}

void vrx_settle_pending_ends(void)
{
	vrx_pending_ends = false;
	for (vrx_open_trace *entry = vrx_open_traces; entry != nullptr;)
	{
		vrx_open_trace *next = entry->next;
		switch (entry->pending_end)
		{
			case vrx_pending_end::none:
				break;
			case vrx_pending_end::time_limit:
				vrx_end_trace_from_hook(entry, VRX_STATUS_TIME_LIMIT);
				break;
			case vrx_pending_end::size_limit:
				vrx_end_trace_from_hook(entry, VRX_STATUS_SIZE_LIMIT);
				break;
			case vrx_pending_end::free_space:
				ereport(LOG, (errmsg("vireo: the trace %s ended: " UINT64_FORMAT
				                     " MB left on the file system of \"%s\", vireo.min_free_space keeps " UINT64_FORMAT " MB",
				                     entry->trace_id, entry->free_mb, vrx_traces_root(), entry->floor_mb)));
				vrx_end_trace_from_hook(entry, VRX_STATUS_SIZE_LIMIT);
				break;
			case vrx_pending_end::write_failed:
				ereport(LOG, (errmsg("vireo: Couldn't write to the trace file '%s/%s/trace-%d.csv'.",
				                     vrx_traces_root(), entry->trace_id, MyProcPid)));
				vrx_abandon_trace(entry);
				break;
		}
		entry = next;
	}
}

// Counts the bytes of a record, to claim the free space it needs before it
// is written.
struct measuring_sink
{
	size_t length = 0;
	void put(const char *, size_t n) { length += n; }
	bool stop() const { return false; }
};

// A record streamed to several data files at once through the reserved
// buffer.  Each file gets the same bytes in the same writes.
class quiet_sink
{
public:
	void add(vrx_open_trace *entry, const vrx_space_claim &claim)
	{
		targets_[count_++] = {entry, claim, true};
	}
	int count() const { return count_; }
	bool stop() const { return false; }

	void put(const char *p, size_t n)
	{
		while (n > 0)
		{
			if (length_ == QUIET_BUFFER_SIZE)
				flush();
			const size_t k = Min(n, QUIET_BUFFER_SIZE - length_);
			memcpy(quiet_buffer + length_, p, k);
			length_ += k;
			p += k;
			n -= k;
		}
	}

	// Writes out the rest, gives back the free space claimed and accounts
	// for the record in every trace.
	void finish()
	{
		flush();
		for (int i = 0; i < count_; i++)
		{
			vrx_release_free_space(targets_[i].claim);
			vrx_record_written(targets_[i].entry, total_, targets_[i].whole);
		}
	}

private:
	struct target
	{
		vrx_open_trace *entry;
		vrx_space_claim claim;
		bool whole; // every write so far was complete
	};

	void flush()
	{
		for (int i = 0; i < count_; i++)
		{
			if (!targets_[i].whole)
				continue;
			ssize_t written;
			do
				written = write(targets_[i].entry->fd, quiet_buffer, length_);
			while (written < 0 && errno == EINTR);
			targets_[i].whole = written == static_cast<ssize_t>(length_);
		}
		total_ += length_;
		length_ = 0;
	}

	target targets_[VRX_MAX_TRACES] = {};
	int count_ = 0;
	size_t length_ = 0; // bytes in the buffer
	size_t total_ = 0;  // bytes written before them
};
static_assert(std::is_trivially_destructible<quiet_sink>::value,
              "a quiet sink lives in frames that may see errors pass");

// The free-space budget is shared by all backends under a spinlock held for
// a few instructions, never while anything can fail: a quiet record may
// claim from it as every record does.
void vrx_write_quietly(const vrx_record_fields &fields, const uint64 (&generation)[VRX_MAX_TRACES],
                       vrx_record_form form, bool nested_only)
{
	if (quiet_buffer == nullptr)
		return;

	const int saved_errno = errno;
	measuring_sink measure;
	quiet_sink sink;
	for (int i = 0; i < VRX_MAX_TRACES; i++)
	{
		if (generation[i] == 0)
			continue;
		vrx_open_trace *entry = vrx_find_entry(i, generation[i]);
		if (entry == nullptr || entry->fd < 0 || vrx_slot_generation(i) != generation[i] ||
		    (nested_only && !entry->options.track_nested))
			continue;
		if (form != vrx_record_form::any)
		{
			const bool plan = vrx_wants_plan(*entry, fields.duration_ms, true);
			const bool json = entry->version == VRX_VERSION_JSON;
			if ((form == vrx_record_form::bare) == plan ||
			    (form == vrx_record_form::json && !json) || (form == vrx_record_form::text && json))
				continue;
		}
		if (!vrx_trace_takes_record(entry, fields.end_time, fields.duration_ms))
			continue;
		if (measure.length == 0)
			(void) vrx_put_record(measure, fields);
		vrx_space_claim claim;
		if (vrx_claim_record_space(entry, measure.length, &claim))
			sink.add(entry, claim);
	}
	if (sink.count() > 0)
	{
		(void) vrx_put_record(sink, fields);
		sink.finish();
	}
	// The error being handled may report the operating system's error.
	errno = saved_errno;
}
