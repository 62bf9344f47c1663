// The session's temporary analysis schema that vr_load_trace fills.
#pragma once

#include "frame/pg.hpp"

// Creates the analysis tables, views, rules and indexes when the profile
// table is missing, and the position table whenever it is missing.  The
// caller has an open SPI connection.
void vrx_initialize(void);

// SPI_execute with profiling_allowed cleared around it, so that the module's
// own statements never reach a trace.
int vrx_spi_execute(const char *sql, bool read_only, long count);
