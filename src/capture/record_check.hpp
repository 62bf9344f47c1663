// Checking the record builder against the record's definition: with the
// developer setting vireo.check_records on, every record built in memory is
// built a second time the plain way, with the server's printf forms of each
// field, and a LOG line says whether the two are the same bytes.  Tests turn
// it on; it costs a second record per statement.
#pragma once

#include "capture/record_format.hpp"

extern bool vireo_check_records;

// Builds the record of fields the plain way into reference (initialised
// here); rusage_end is the end snapshot the record was built with.
void vrx_reference_record(StringInfo reference, const vrx_record_fields &fields);

// Compares record with its reference build and reports the outcome at LOG.
void vrx_check_record(const StringInfoData &record, const vrx_record_fields &fields);
