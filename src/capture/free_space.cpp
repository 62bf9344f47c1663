#include "capture/free_space.hpp"

#include <sys/statvfs.h>

#include "frame/settings.hpp"
#include "store/paths.hpp"

// Bytes a process may write between two looks at the file system: with many
// backends recording, the floor can be passed by that much per backend.
static constexpr uint64 VRX_FREE_SPACE_CHECK_BYTES = 1024 * 1024;
static constexpr uint64 MB = 1024 * 1024;

static uint64 written_since_check = VRX_FREE_SPACE_CHECK_BYTES; // look before the first write
static bool low_at_last_check = false;
static uint64 last_free_mb = 0;
static uint64 last_floor_mb = 0;

void vrx_count_written(size_t bytes)
{
	written_since_check += bytes;
}

bool vrx_free_space_low(uint64 *free_mb, uint64 *floor_mb)
{
	if (vireo_min_free_space == 0)
		return false;

	if (written_since_check >= VRX_FREE_SPACE_CHECK_BYTES)
	{
		struct statvfs fs;
		written_since_check = 0;
		low_at_last_check = false;
		if (statvfs(VRX_TRACES_ROOT, &fs) == 0)
		{
			const uint64 total_mb = static_cast<uint64>(fs.f_blocks) * fs.f_frsize / MB;
			last_free_mb = static_cast<uint64>(fs.f_bavail) * fs.f_frsize / MB;
			last_floor_mb = vireo_min_free_space > 0 ? static_cast<uint64>(vireo_min_free_space)
			                                         : Max(UINT64CONST(1024), total_mb / 20);
			low_at_last_check = last_free_mb < last_floor_mb;
		}
	}
	*free_mb = last_free_mb;
	*floor_mb = last_floor_mb;
	return low_at_last_check;
}
