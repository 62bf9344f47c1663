// vireo's records never take the free space below the floor: every byte a
// backend writes is reserved first from a budget that a look at the file
// system granted, and a look counts the records that are being written but
// may not show in the file system's numbers yet.  What other programs write
// between two looks (WAL, tables) is not seen; the backends together write
// at most VRX_FREE_SPACE_CHECK_BYTES of records between two looks, so the
// floor is passed by no more than what others write meanwhile.
#include "capture/free_space.hpp"

#include <sys/statvfs.h>

#include "frame/registry.hpp"
#include "frame/settings.hpp"
#include "store/paths.hpp"

// Bytes all backends together may write between two looks at the file
// system.  A record larger than this is always looked at.
static constexpr uint64 VRX_FREE_SPACE_CHECK_BYTES = 1024 * 1024;
static constexpr uint64 MB = 1024 * 1024;
// A record is charged its length and one block of the file system, which
// covers the rounding of a data file's last block.
static constexpr uint64 VRX_BLOCK_CHARGE = 8192;

// What a look at the file system found: bytes free to unprivileged writers
// and bytes to keep.  False when the file system could not be looked at.
static bool look_at_file_system(uint64 *free_bytes, uint64 *floor_bytes)
{
	struct statvfs fs;
	if (statvfs(vrx_traces_root(), &fs) != 0)
		return false;
	const uint64 total = static_cast<uint64>(fs.f_blocks) * fs.f_frsize;
	*free_bytes = static_cast<uint64>(fs.f_bavail) * fs.f_frsize;
	*floor_bytes = vireo_min_free_space > 0 ? static_cast<uint64>(vireo_min_free_space) * MB
	                                        : Max(UINT64CONST(1024) * MB, total / 20);
	return true;
}

bool vrx_claim_free_space(size_t bytes, vrx_space_claim *claim)
{
	vrx_space_budget &space = vrx_shared_config->space;
	const int setting = vireo_min_free_space;

	*claim = {};
	if (setting == 0)
		return true;

	const uint64 charge = static_cast<uint64>(bytes) + VRX_BLOCK_CHARGE;
	SpinLockAcquire(&space.mutex);
	space.reserved += charge;
	space.in_flight += charge;
	const uint64 reserved = space.reserved;
	const uint64 in_flight = space.in_flight;
	const bool granted = bytes <= VRX_FREE_SPACE_CHECK_BYTES && space.floor_setting == setting &&
	                     reserved <= space.allowed_until;
	SpinLockRelease(&space.mutex);
	claim->charge = charge;
	if (granted)
		return true;

	// Every byte reserved until now that may not show in what the look
	// finds is in in_flight (reserved and not written yet); the records
	// written since are charged against what this look grants.
	uint64 free_bytes, floor_bytes;
	if (!look_at_file_system(&free_bytes, &floor_bytes))
		return true; // nothing to go by: the write itself will tell
	const bool room = free_bytes >= floor_bytes && free_bytes - floor_bytes >= in_flight;
	const uint64 headroom = room ? free_bytes - floor_bytes - in_flight : 0;

	SpinLockAcquire(&space.mutex);
	// A look that began after this one (or a new trace) decides instead.
	if (reserved > space.looked_at)
	{
		space.looked_at = reserved;
		space.allowed_until = reserved + Min(headroom, VRX_FREE_SPACE_CHECK_BYTES);
		space.floor_setting = setting;
	}
	if (!room)
		space.in_flight -= charge;
	SpinLockRelease(&space.mutex);

	if (room)
		return true;
	claim->charge = 0;
	claim->free_mb = free_bytes / MB;
	claim->floor_mb = floor_bytes / MB;
	return false;
}

void vrx_release_free_space(const vrx_space_claim &claim)
{
	if (claim.charge == 0)
		return;
	vrx_space_budget &space = vrx_shared_config->space;
	SpinLockAcquire(&space.mutex);
	space.in_flight -= claim.charge;
	SpinLockRelease(&space.mutex);
}
