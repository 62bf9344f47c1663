// The free-space floor: recording stops before the traces fill the file
// system that usually holds the server's WAL as well.
#pragma once

#include "frame/pg.hpp"

// Whether writing now would go below vireo.min_free_space on the file system
// of the traces root.  Looks at the file system (statvfs) before the first
// record of the process and then once per VRX_FREE_SPACE_CHECK_BYTES that it
// wrote; in between it answers from the last look.  On true, *free_mb and
// *floor_mb say how much is free and how much is to be kept.
bool vrx_free_space_low(uint64 *free_mb, uint64 *floor_mb);

// Counts bytes this process wrote into its data files.
void vrx_count_written(size_t bytes);
