// vr_trace_records: one trace's records as rows, read straight from its data
// files with the loader's reader.  It writes nothing (no table, no
// transaction id), so it works on a hot standby and in a read-only
// transaction, and it returns one row per call: called in the select list,
// rows reach the client as they are read, in memory that does not grow with
// the trace.  Called in FROM, the executor first collects the rows in a
// tuplestore, which spills to temporary files beyond work_mem.
#include "load/trace_files.hpp"
#include "store/paths.hpp"

extern "C" {
#include "utils/memutils.h"
PG_FUNCTION_INFO_V1(vr_trace_records);
}

// The columns of a row, in the order the function declares them.
enum stream_column
{
	S_PID,
	S_START_TIME,
	S_END_TIME,
	S_APPL_NAME,
	S_USER_ID,
	S_DB_ID,
	S_QUERY_TYPE,
	S_QUERY,
	S_PARAMS,
	S_EXPLAIN,
	S_DURATION,
	S_ROWS_UPDATED,
	S_RESOURCE_USAGE, // ten columns
	S_BUFFER_USAGE = S_RESOURCE_USAGE + 10,
	S_COLUMNS = S_BUFFER_USAGE + 8
};
static_assert(S_COLUMNS == 30, "vr_trace_records returns 30 columns");

// Where each profile-table column of a row goes (-1: nowhere).  The profile
// row is in the order of the table: trace_id, start_time, end_time,
// appl_name, user_id, db_id, query_type, query_id, explain, duration,
// rows_updated, the ten resource counters, the eight buffer counters, pid.
static constexpr int stream_position[VRX_PROFILE_COLUMNS] = {
    -1,         S_START_TIME, S_END_TIME,       S_APPL_NAME,       S_USER_ID,
    S_DB_ID,    S_QUERY_TYPE, -1,               S_EXPLAIN,         S_DURATION,
    S_ROWS_UPDATED, S_RESOURCE_USAGE, S_RESOURCE_USAGE + 1, S_RESOURCE_USAGE + 2,
    S_RESOURCE_USAGE + 3, S_RESOURCE_USAGE + 4, S_RESOURCE_USAGE + 5,
    S_RESOURCE_USAGE + 6, S_RESOURCE_USAGE + 7, S_RESOURCE_USAGE + 8,
    S_RESOURCE_USAGE + 9, S_BUFFER_USAGE, S_BUFFER_USAGE + 1, S_BUFFER_USAGE + 2,
    S_BUFFER_USAGE + 3, S_BUFFER_USAGE + 4, S_BUFFER_USAGE + 5, S_BUFFER_USAGE + 6,
    S_BUFFER_USAGE + 7, S_PID};

// What lives from the first call to the last, in the call's multi-call
// context.
struct stream_state
{
	char dir_path[VRX_PATH_MAX];
	vrx_convert_options options;
	List *files;
	ListCell *next_file;          // the file after the current one
	vrx_data_file_reader *reader; // the current file, or null
	MemoryContext row_cxt;        // one row, emptied at the next call
	TupleDesc desc;
};

// Releases the current file.  Also called by the executor when it stops
// asking for rows early (a LIMIT) or the query fails, so that no file stays
// open.
static void close_file(Datum arg)
{
	auto *state = reinterpret_cast<stream_state *>(DatumGetPointer(arg));
	if (state->reader != nullptr)
	{
		vrx_close_data_file(state->reader);
		state->reader = nullptr;
	}
}

static stream_state *start(FunctionCallInfo fcinfo, FuncCallContext *funcctx)
{
	char *trace_id = PG_ARGISNULL(0) ? nullptr : text_to_cstring(PG_GETARG_TEXT_PP(0));
	const double version = vrx_open_trace(trace_id);

	MemoryContext caller = MemoryContextSwitchTo(funcctx->multi_call_memory_ctx);
	auto *state = static_cast<stream_state *>(palloc0(sizeof(stream_state)));
	state->options.version = version;
	state->options.params_as_array = true;
	vrx_trace_dir_path(state->dir_path, trace_id);
	if (!vrx_list_data_files(state->dir_path, &state->files))
		state->files = NIL;
	state->next_file = list_head(state->files);
	// A first block that holds a usual row, kept from row to row.
	state->row_cxt = AllocSetContextCreate(funcctx->multi_call_memory_ctx, "vireo stream row", 0,
	                                       64 * 1024, ALLOCSET_DEFAULT_MAXSIZE);
	TupleDesc desc;
	if (get_call_result_type(fcinfo, nullptr, &desc) != TYPEFUNC_COMPOSITE)
		elog(ERROR, "vr_trace_records: return type must be a row type");
	state->desc = BlessTupleDesc(desc);
	MemoryContextSwitchTo(caller);

	auto *rsinfo = reinterpret_cast<ReturnSetInfo *>(fcinfo->resultinfo);
	RegisterExprContextCallback(rsinfo->econtext, close_file, PointerGetDatum(state));
	return state;
}

// The next record of the trace as a row, or null at the end.
static HeapTuple next_row(stream_state *state, MemoryContext multi_call_cxt)
{
	vrx_profile_row row;
	for (;;)
	{
		CHECK_FOR_INTERRUPTS();
		MemoryContextReset(state->row_cxt);
		if (state->reader == nullptr)
		{
			if (state->next_file == nullptr)
				return nullptr;
			auto *file = static_cast<vrx_data_file *>(lfirst(state->next_file));
			state->next_file = lnext(state->files, state->next_file);
			MemoryContext caller = MemoryContextSwitchTo(multi_call_cxt);
			state->reader = vrx_open_data_file(state->dir_path, file->pid, 0);
			MemoryContextSwitchTo(caller);
			continue;
		}

		MemoryContext caller = MemoryContextSwitchTo(state->row_cxt);
		int64 position;
		const vrx_read_result result =
		    vrx_next_record(state->reader, state->options, state->row_cxt, &row, &position);
		if (result == vrx_read_result::done)
		{
			MemoryContextSwitchTo(caller);
			close_file(PointerGetDatum(state));
			continue;
		}
		if (result == vrx_read_result::skip)
		{
			MemoryContextSwitchTo(caller);
			continue;
		}

		Datum values[S_COLUMNS];
		bool nulls[S_COLUMNS];
		for (int i = 0; i < VRX_PROFILE_COLUMNS; i++)
		{
			const int to = stream_position[i];
			if (to < 0)
				continue;
			values[to] = row.values[i];
			nulls[to] = row.nulls[i];
		}
		values[S_QUERY] = PointerGetDatum(row.query);
		nulls[S_QUERY] = false;
		values[S_PARAMS] = row.params[1];
		nulls[S_PARAMS] = row.no_params[1];
		HeapTuple tuple = heap_form_tuple(state->desc, values, nulls);
		MemoryContextSwitchTo(caller);
		return tuple;
	}
}

Datum vr_trace_records(PG_FUNCTION_ARGS)
{
	FuncCallContext *funcctx;
	if (SRF_IS_FIRSTCALL())
	{
		funcctx = SRF_FIRSTCALL_INIT();
		funcctx->user_fctx = start(fcinfo, funcctx);
	}
	funcctx = SRF_PERCALL_SETUP();
	auto *state = static_cast<stream_state *>(funcctx->user_fctx);
	HeapTuple tuple = next_row(state, funcctx->multi_call_memory_ctx);
	if (tuple == nullptr)
	{
		// The state goes with the multi-call context.
		auto *rsinfo = reinterpret_cast<ReturnSetInfo *>(fcinfo->resultinfo);
		UnregisterExprContextCallback(rsinfo->econtext, close_file, PointerGetDatum(state));
		SRF_RETURN_DONE(funcctx);
	}
	SRF_RETURN_NEXT(funcctx, HeapTupleGetDatum(tuple));
}
