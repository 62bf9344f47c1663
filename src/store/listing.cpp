// vr_active_traces (the running traces, from the registry) and
// vr_traces_list (every stored trace, from the descriptors on disk).
#include "frame/registry.hpp"
#include "load/text_encoding.hpp"
#include "store/activation.hpp"
#include "store/descriptor.hpp"
#include "store/paths.hpp"

extern "C" {
PG_FUNCTION_INFO_V1(vr_active_traces);
PG_FUNCTION_INFO_V1(vr_traces_list);
}

static constexpr int ACTIVE_COLUMNS = 9;
static constexpr int LIST_COLUMNS = 13;
// Version 1.0 of the SQL objects declares the first 11 columns only.
static constexpr int LIST_COLUMNS_1_0 = 11;

struct column
{
	const char *name;
	Oid type;
};

static const column active_columns[ACTIVE_COLUMNS] = {
    {"trace_id", TEXTOID},           {"owner", OIDOID},
    {"start_time", TIMESTAMPTZOID},  {"max_trace_size (MB)", INT4OID},
    {"curr_log_size (MB)", INT4OID}, {"log_min_duration", INT4OID},
    {"running_queries", INT4OID},    {"users_list", OIDVECTOROID},
    {"database_list", OIDVECTOROID},
};

static const column list_columns[LIST_COLUMNS] = {
    {"trace_id", TEXTOID}, {"comments", TEXTOID},        {"start_time", TIMESTAMPTZOID},
    {"owner", OIDOID},     {"users_list", OIDVECTOROID}, {"database_list", OIDVECTOROID},
    {"max_size", INT4OID}, {"end_time", TIMESTAMPTZOID}, {"finish_time", TIMESTAMPTZOID},
    {"status", INT4OID},   {"version", FLOAT8OID},      {"plan_min_duration", INT4OID},
    {"sample_rate", FLOAT8OID},
};

// Builds and blesses a result descriptor; called in the multi-call context.
template <size_t N> static TupleDesc make_result_desc(const column (&columns)[N], int count = N)
{
	TupleDesc desc = CreateTemplateTupleDesc(count);
	for (int i = 0; i < count; i++)
		TupleDescInitEntry(desc, static_cast<AttrNumber>(i + 1), columns[i].name, columns[i].type,
		                   -1, 0);
	return BlessTupleDesc(desc);
}

// Bytes to whole megabytes, truncated toward zero and narrowed to 32 bits.
static Datum megabytes(int64 bytes)
{
	return Int32GetDatum(static_cast<int32>(bytes / 1048576));
}

Datum vr_active_traces(PG_FUNCTION_ARGS)
{
	vrx_require_registry();

	if (SRF_IS_FIRSTCALL())
	{
		FuncCallContext *fctx = SRF_FIRSTCALL_INIT();
		MemoryContext old = MemoryContextSwitchTo(fctx->multi_call_memory_ctx);
		fctx->tuple_desc = make_result_desc(active_columns);
		fctx->user_fctx = palloc0(sizeof(int));
		MemoryContextSwitchTo(old);
	}

	FuncCallContext *fctx = SRF_PERCALL_SETUP();
	int &position = *static_cast<int *>(fctx->user_fctx);
	vrx_trace_registry *registry = vrx_shared_config;

	const Oid user = GetUserId();
	const bool is_superuser = superuser();

	while (position < VRX_MAX_TRACES)
	{
		const int index = position++;
		LWLockAcquire(registry->lock, LW_SHARED);
		const vrx_trace_slot slot = registry->slots[index];
		const uint64 generation = vrx_slot_generation(index);
		vrx_slot_state &state = registry->live[index];
		const uint64 log_size =
		    vrx_counter_value(&state.log_size, VRX_LOG_SIZE_TAG_SHIFT, generation);
		const uint64 running =
		    vrx_counter_value(&state.running, VRX_RUNNING_TAG_SHIFT, generation);
		LWLockRelease(registry->lock);

		// The privilege test looks the role up, which can fail: it is made
		// only with the lock released.
		if (slot.start_time == 0 ||
		    !(is_superuser || slot.owner == user || role_has_profiler_privilege()))
			continue;

		Datum values[ACTIVE_COLUMNS];
		bool nulls[ACTIVE_COLUMNS] = {};
		values[0] = PointerGetDatum(cstring_to_text_with_len(slot.trace_id, VRX_TRACE_ID_LEN));
		values[1] = ObjectIdGetDatum(slot.owner);
		values[2] = TimestampTzGetDatum(slot.start_time);
		values[3] = megabytes(slot.max_size);
		values[4] = megabytes(static_cast<int64>(log_size));
		values[5] = Int32GetDatum(slot.log_min_duration);
		values[6] = Int32GetDatum(static_cast<int32>(running));
		values[7] = vrx_list_to_oidvector(slot.users_list, &nulls[7]);
		values[8] = vrx_list_to_oidvector(slot.database_list, &nulls[8]);

		HeapTuple tuple = heap_form_tuple(fctx->tuple_desc, values, nulls);
		SRF_RETURN_NEXT(fctx, HeapTupleGetDatum(tuple));
	}
	SRF_RETURN_DONE(fctx);
}

// Scan state of vr_traces_list: the open traces root.
struct list_scan
{
	DIR *dir;
	bool open_failed;
	ExprContext *econtext; // where close_list_scan is registered, if anywhere
};

// Closes the directory when the scan is shut down before its end.
static void close_list_scan(Datum arg)
{
	auto *scan = reinterpret_cast<list_scan *>(DatumGetPointer(arg));
	if (scan->dir != nullptr)
	{
		FreeDir(scan->dir);
		scan->dir = nullptr;
	}
}

// Status as listed: a stored 1 whose trace is not in the registry (or in a
// server without the registry) was active once but is not running now.
static int32 listed_status(const vrx_trace_descriptor &d)
{
	if (d.status != VRX_STATUS_ACTIVE)
		return d.status;

	vrx_trace_registry *registry = vrx_shared_config;
	if (registry == nullptr)
		return 0;
	LWLockAcquire(registry->lock, LW_SHARED);
	bool running = find_trace(d.trace_id.data, false) != nullptr;
	LWLockRelease(registry->lock);
	return running ? VRX_STATUS_ACTIVE : 0;
}

Datum vr_traces_list(PG_FUNCTION_ARGS)
{
	if (SRF_IS_FIRSTCALL())
	{
		FuncCallContext *fctx = SRF_FIRSTCALL_INIT();
		MemoryContext old = MemoryContextSwitchTo(fctx->multi_call_memory_ctx);
		// The columns the installed SQL declares.
		TupleDesc declared;
		const int columns =
		    get_call_result_type(fcinfo, nullptr, &declared) == TYPEFUNC_COMPOSITE &&
		            declared->natts == LIST_COLUMNS_1_0
		        ? LIST_COLUMNS_1_0
		        : LIST_COLUMNS;
		fctx->tuple_desc = make_result_desc(list_columns, columns);
		auto *scan = static_cast<list_scan *>(palloc0(sizeof(list_scan)));
		vrx_check_traces_root();
		scan->dir = AllocateDir(vrx_traces_root());
		scan->open_failed = scan->dir == nullptr;
		fctx->user_fctx = scan;
		auto *rsinfo = reinterpret_cast<ReturnSetInfo *>(fcinfo->resultinfo);
		if (scan->dir != nullptr && rsinfo != nullptr && IsA(rsinfo, ReturnSetInfo))
		{
			scan->econtext = rsinfo->econtext;
			RegisterExprContextCallback(scan->econtext, close_list_scan, PointerGetDatum(scan));
		}
		MemoryContextSwitchTo(old);
	}

	FuncCallContext *fctx = SRF_PERCALL_SETUP();
	auto *scan = static_cast<list_scan *>(fctx->user_fctx);

	if (scan->open_failed)
	{
		ereport(WARNING, (errmsg("Couldn't open the directory '%s'.", vrx_traces_root())));
		SRF_RETURN_DONE(fctx);
	}

	struct dirent *de;
	while (scan->dir != nullptr && (de = ReadDir(scan->dir, vrx_traces_root())) != nullptr)
	{
		vrx_trace_descriptor d;
		if (!vrx_is_trace_id(de->d_name) || !load_trace_ini(de->d_name, &d))
			continue;

		Datum values[LIST_COLUMNS];
		bool nulls[LIST_COLUMNS] = {};
		values[0] = PointerGetDatum(cstring_to_text_with_len(d.trace_id.data, d.trace_id.len));
		// The descriptor keeps the comment in the bytes of the database that
		// started the trace, whose encoding it does not record.
		values[1] = PointerGetDatum(
		    vrx_database_text(d.comments.data, d.comments.len, VRX_ENCODING_UNKNOWN));
		values[2] = TimestampTzGetDatum(d.start_time);
		values[3] = ObjectIdGetDatum(static_cast<Oid>(d.owner));
		values[4] = vrx_list_to_oidvector(d.users_list, &nulls[4]);
		values[5] = vrx_list_to_oidvector(d.database_list, &nulls[5]);
		values[6] = megabytes(d.max_size);
		values[7] = TimestampTzGetDatum(d.end_time);
		nulls[7] = d.end_time == 0;
		values[8] = TimestampTzGetDatum(d.finish_time);
		nulls[8] = d.finish_time == 0;
		values[9] = Int32GetDatum(listed_status(d));
		values[10] = Float8GetDatum(d.version);
		values[11] = Int32GetDatum(d.plan_min_duration);
		values[12] = Float8GetDatum(d.sample_rate);

		HeapTuple tuple = heap_form_tuple(fctx->tuple_desc, values, nulls);
		vrx_free_descriptor(&d);
		SRF_RETURN_NEXT(fctx, HeapTupleGetDatum(tuple));
	}

	// The scan state goes away with the multi-call context: close the
	// directory and forget the shutdown callback now.
	close_list_scan(PointerGetDatum(scan));
	if (scan->econtext != nullptr)
		UnregisterExprContextCallback(scan->econtext, close_list_scan, PointerGetDatum(scan));
	SRF_RETURN_DONE(fctx);
}
