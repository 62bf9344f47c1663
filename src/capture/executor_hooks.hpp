// The executor hooks through which vireo sees and measures every statement.
#pragma once

#include "frame/pg.hpp"

// activation_seq of the registry at this process's last scan; -1 forces a scan.
extern int32 seen_activation_seq;
// last_change of the registry at the last scan.
extern int64 seen_last_change;

void vrx_ExecutorStart(QueryDesc *query_desc, int eflags);
void vrx_ExecutorRun(QueryDesc *query_desc, ScanDirection direction, uint64 count,
                     bool execute_once);
void vrx_ExecutorEnd(QueryDesc *query_desc);
