// The free-space floor: recording stops before the traces fill the file
// system that usually holds the server's WAL as well.
#pragma once

#include "frame/pg.hpp"

// A record's claim on the free space of the traces' file system.
struct vrx_space_claim
{
	uint64 charge;   // bytes reserved for the record; 0 when none were
	uint64 free_mb;  // what the look found, when the record was refused
	uint64 floor_mb; // and what vireo.min_free_space keeps
};

// Whether a record of bytes may be written now: true when the free space
// left after it, and after every record the other backends are writing,
// stays at or above vireo.min_free_space.  The backends together reserve
// what they write from one budget in the registry; whoever finds the budget
// spent, or writes a record larger than VRX_FREE_SPACE_CHECK_BYTES, looks at
// the file system (statvfs) and sets the budget anew, to at most that many
// bytes.  A record is refused only on a fresh look.  After true, the caller
// writes the record and then calls vrx_release_free_space, whatever the
// write did.
bool vrx_claim_free_space(size_t bytes, vrx_space_claim *claim);

// Ends the claim of a record that has been written (or failed).
void vrx_release_free_space(const vrx_space_claim &claim);
