// How the error being handled is read.  An error reaches a hook's PG_CATCH
// with its ErrorData on the server's error stack, in ErrorContext, and the
// server offers three ways to read it:
// - geterrcode(): the SQLSTATE, read in place, no allocation;
// - CopyErrorData(): everything, copied into the current memory context;
// - emit_log_hook: the ErrorData in place, but only for errors that are
//   reported (not those a PL/pgSQL exception block or a savepoint's
//   rollback handles) and only when log_min_messages lets them into the log,
//   and only after the hooks that saw the error have re-thrown it.
// The record needs the SQLSTATE and the message of every error, in the hook
// that saw it, so the SQLSTATE comes from geterrcode() and the message from
// CopyErrorData() into vrx_quiet_context, whose one block was allocated when
// the module was loaded.  The copy never asks the system for memory: it is
// made only when ErrorContext, which holds every string of the error beyond
// a few constants (file and function names, the message's format), has at
// most ERROR_COPY_LIMIT bytes, so that the copy fits the reserved block
// whatever the sizes of its pieces (none can exceed 8 kB then).  A longer
// error is recorded with its SQLSTATE and a note that its message was too
// long.  The copy is a copy: the error on the stack is left as it was, and
// nothing here pops, flushes or changes it, so the client gets the same
// SQLSTATE, message, detail, hint and context, and the transaction ends up
// in the same state, as without the module.  Interrupts are held while a
// record is made, so a cancel arriving meanwhile waits for the server to act
// on it, never raising a second error inside the first.
#include "capture/statement_failure.hpp"

#include "capture/record_writer.hpp"
#include "frame/settings.hpp"

static constexpr char FAILED[] = "vireo: statement failed: ";
static constexpr char TOO_LONG[] = " (message too long to record)";
static constexpr char CLOSED[] = "vireo: cursor closed by rollback";
static constexpr char PLAN_NOT_AVAILABLE[] = "vireo: plan not available: ";
static constexpr size_t ERROR_COPY_LIMIT = 16 * 1024;
static_assert(2 * (ERROR_COPY_LIMIT + 2048) + 4096 < VRX_QUIET_CONTEXT_SIZE,
              "an error copied within the limit fits the reserved memory");

// Appends up to limit bytes of whole characters of text to note at *length.
static void append_clipped(char *note, size_t size, size_t *length, const char *text, size_t limit)
{
	const size_t room = Min(limit, size - 1 - *length);
	const int n = pg_mbcliplen(text, static_cast<int>(strnlen(text, room + MAX_MULTIBYTE_CHAR_LEN)),
	                           static_cast<int>(room));
	memcpy(note + *length, text, n);
	*length += n;
	note[*length] = '\0';
}

vrx_text_span vrx_note_failure(vrx_failure_note &note)
{
	size_t length = 0;
	note[0] = '\0';
	append_clipped(note, sizeof(note), &length, FAILED, sizeof(FAILED));
	append_clipped(note, sizeof(note), &length, unpack_sql_state(geterrcode()), 5);

	if (vrx_quiet_context != nullptr &&
	    MemoryContextMemAllocated(ErrorContext, true) <= ERROR_COPY_LIMIT)
	{
		MemoryContext caller = MemoryContextSwitchTo(vrx_quiet_context);
		const ErrorData *error = CopyErrorData();
		MemoryContextSwitchTo(caller);
		if (error->message != nullptr)
		{
			append_clipped(note, sizeof(note), &length, " ", 1);
			append_clipped(note, sizeof(note), &length, error->message, VRX_FAILURE_MESSAGE_MAX);
		}
		MemoryContextReset(vrx_quiet_context);
	}
	else
		append_clipped(note, sizeof(note), &length, TOO_LONG, sizeof(TOO_LONG));
	return {note, length};
}

double vrx_executor_ms(const Instrumentation *totaltime)
{
	double seconds = totaltime->total + INSTR_TIME_GET_DOUBLE(totaltime->counter);
	if (!INSTR_TIME_IS_ZERO(totaltime->starttime))
	{
		instr_time now;
		INSTR_TIME_SET_CURRENT(now);
		INSTR_TIME_SUBTRACT(now, totaltime->starttime);
		seconds += INSTR_TIME_GET_DOUBLE(now);
	}
	return seconds * 1000.0;
}

// The fields of st's record as an error or a rollback ends it: the user is
// the one that started it (an error inside a SECURITY DEFINER function
// leaves the function's owner current until the abort).
static vrx_record_fields ended_fields(const vrx_statement &st)
{
	vrx_record_fields fields = vrx_statement_fields(st);
	fields.user_id = st.user_id;
	fields.end_time = GetCurrentTimestamp();
	return fields;
}

void vrx_record_failed_statement(vrx_statement *st, uint64 rows_of_run)
{
	if (st->failed)
		return;
	st->failed = true;
	if (!profiling_allowed || !vireo_enabled || !vrx_recorded_anywhere(*st) || st->totaltime == nullptr)
		return;

	HOLD_INTERRUPTS();
	vrx_failure_note note;
	vrx_record_fields fields = ended_fields(*st);
	fields.rows += rows_of_run;
	fields.duration_ms = vrx_executor_ms(st->totaltime);
	fields.plan = vrx_note_failure(note);
	vrx_write_quietly(fields, st->generation, vrx_record_form::any, vrx_nested_only(*st));
	RESUME_INTERRUPTS();
}

void vrx_record_failed_start(const uint64 (&generation)[VRX_MAX_TRACES], TimestampTz start_time,
                             Oid user_id, CmdType operation, vrx_text_span text,
                             const ParamListInfoData *params)
{
	if (!vireo_enabled)
		return;
	HOLD_INTERRUPTS();
	struct rusage usage;
	vrx_getrusage(&usage);
	vrx_failure_note note;
	vrx_record_fields fields = {};
	fields.start_time = start_time;
	fields.end_time = GetCurrentTimestamp();
	fields.user_id = user_id;
	fields.command_type = vrx_command_type(operation);
	fields.text = text;
	fields.plan = vrx_note_failure(note);
	fields.rusage_start = &usage;
	fields.params = params;
	vrx_write_quietly(fields, generation, vrx_record_form::any, false);
	RESUME_INTERRUPTS();
}

// Writes the record of one plan form printed before the statement closed.
static void write_printed_form(vrx_record_fields fields, const vrx_statement &st, const char *plan,
                               const char *failure, vrx_record_form form)
{
	char note[sizeof(PLAN_NOT_AVAILABLE) + VRX_FAILURE_MESSAGE_MAX];
	if (plan != nullptr)
		fields.plan = {plan, strlen(plan)};
	else
	{
		size_t length = 0;
		note[0] = '\0';
		append_clipped(note, sizeof(note), &length, PLAN_NOT_AVAILABLE, sizeof(PLAN_NOT_AVAILABLE));
		append_clipped(note, sizeof(note), &length, failure, VRX_FAILURE_MESSAGE_MAX);
		fields.plan = {note, length};
	}
	vrx_write_quietly(fields, st.generation, form, vrx_nested_only(st));
}

void vrx_record_closed_statement(vrx_statement *st)
{
	// A session that is ending (terminated, its client gone) records nothing
	// more: what ended its statements is no error this could name.
	if (st->ended || st->failed || !vireo_enabled || !vrx_recorded_anywhere(*st) ||
	    st->totaltime == nullptr || proc_exit_inprogress)
		return;

	HOLD_INTERRUPTS();
	vrx_record_fields fields = ended_fields(*st);
	if (st->plans_built)
	{
		fields.duration_ms = st->plan_duration_ms;
		if (st->json_plan != nullptr || st->json_failure != nullptr)
			write_printed_form(fields, *st, st->json_plan, st->json_failure, vrx_record_form::json);
		if (st->text_plan != nullptr || st->text_failure != nullptr)
			write_printed_form(fields, *st, st->text_plan, st->text_failure, vrx_record_form::text);
		// The traces that want no plan of it get an empty one.
		fields.plan = {"", 0};
		vrx_write_quietly(fields, st->generation,
		                  st->plan_possible ? vrx_record_form::bare : vrx_record_form::any,
		                  vrx_nested_only(*st));
	}
	else
	{
		fields.duration_ms = vrx_executor_ms(st->totaltime);
		fields.plan = {CLOSED, sizeof(CLOSED) - 1};
		vrx_write_quietly(fields, st->generation, vrx_record_form::any, vrx_nested_only(*st));
	}
	RESUME_INTERRUPTS();
}
