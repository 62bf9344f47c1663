// Building a statement's profile records: its plan text and the record
// itself, without ever failing the statement.
#pragma once

#include "capture/guard.hpp"
#include "capture/state.hpp"

// The records that the statement's traces want, of the traces that record
// it (vrx_records_into) whose threshold duration_ms reaches (a negative
// duration, before the statement ended: of all of them): its plan in JSON
// or text, and the record without a plan (vrx_wants_plan).
struct vrx_wanted_records
{
	bool json;
	bool text;
	bool bare;
	bool any() const { return json || text || bare; }
};
vrx_wanted_records vrx_wanted_formats(const vrx_statement &st, double duration_ms);

// Builds the statement's records that are wanted, with its plan in JSON
// and/or text and without a plan (an empty plan field), each with a null
// data pointer where it was not asked for or could not be built, in the
// current memory context.  When a plan text cannot be built (an error, a
// cancel or timeout that ended the window's work, or a record that would pass
// the 1 GB a buffer may hold), the record carries "vireo: plan not
// available: " and the reason in its place; when even that record cannot be
// built, it is skipped with a LOG line.  No error raised while building
// reaches the statement; an interrupt does only inside a statement that goes
// on (vrx_guarded).
void vrx_build_records(QueryDesc *query_desc, vrx_statement *st, const vrx_wanted_records &wanted,
                       vrx_work_window &window, StringInfo json_record, StringInfo text_record,
                       StringInfo bare_record);

// Builds the statement's plan texts in the forms asked for (none: only its
// duration), each where an error cannot reach the statement, into its
// capture state; a failure is kept as the reason that form has no plan.
// vrx_build_records builds them itself when they were not built before.
void vrx_build_plans(QueryDesc *query_desc, vrx_statement *st, bool want_json, bool want_text,
                     vrx_work_window &window);
