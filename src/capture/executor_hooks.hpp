// The executor hooks through which vireo sees and measures every statement.
#pragma once

#include "frame/pg.hpp"

void vrx_ExecutorStart(QueryDesc *query_desc, int eflags);
void vrx_ExecutorRun(QueryDesc *query_desc, ScanDirection direction, uint64 count,
                     bool execute_once);
void vrx_ExecutorFinish(QueryDesc *query_desc);
void vrx_ExecutorEnd(QueryDesc *query_desc);
