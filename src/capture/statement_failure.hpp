// Statements that an error or a rollback ended: recorded while the server
// handles the error or aborts the transaction, where nothing may allocate
// (beyond memory reserved in advance), take a lock, raise or report.  Their
// records are written quietly (record_writer.hpp), and the user's error
// passes on exactly as it came.
#pragma once

#include "capture/record_format.hpp"

// The plan field of a failed statement's record: "vireo: statement failed: ",
// the SQLSTATE and the message of the error being handled, the message cut to
// at most VRX_FAILURE_MESSAGE_MAX bytes of whole characters.  Only while an
// error is being handled: in a PG_CATCH block, or while the transaction that
// it ended aborts.
constexpr size_t VRX_FAILURE_MESSAGE_MAX = 1000;
using vrx_failure_note = char[64 + VRX_FAILURE_MESSAGE_MAX];
vrx_text_span vrx_note_failure(vrx_failure_note &note);

// Milliseconds the executor has spent on a statement so far, its current
// run or finish included.
double vrx_executor_ms(const Instrumentation *totaltime);

// Records st as failed: the error being handled ends it inside its executor
// run or finish.  rows_of_run: the rows its failing run returned so far.
// Once per statement; nothing is recorded for it afterwards.
void vrx_record_failed_statement(vrx_statement *st, uint64 rows_of_run);

// Records a statement that the error being handled ends before its
// executor ran it (in planning or at executor start): into the traces of
// generation, with no rows, duration 0 and no resource usage.  user_id: the
// user that started it, taken before (an error inside a SECURITY DEFINER
// function that the planner evaluated leaves the function's owner current).
void vrx_record_failed_start(const uint64 (&generation)[VRX_MAX_TRACES], TimestampTz start_time,
                             Oid user_id, CmdType operation, vrx_text_span text,
                             const ParamListInfoData *params);

// Records st, whose executor memory goes away without its executor end: a
// cursor (or a portal of the extended protocol, or a statement that a
// function had suspended) that a rollback or an error closed.  Its plan when
// it was printed before (a ROLLBACK in a sound transaction prints the plans
// of the cursors it will close), else the note "vireo: cursor closed by
// rollback": the plan can no longer be printed safely.
void vrx_record_closed_statement(vrx_statement *st);
