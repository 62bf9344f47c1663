#include "capture/sampling.hpp"

#include "frame/pg_compat.hpp"

uint32 vrx_sampled_slots = VRX_ALL_SLOTS;
bool vrx_sampling = false;

void vrx_draw_sample(void)
{
	if (!vrx_sampling)
	{
		vrx_sampled_slots = VRX_ALL_SLOTS;
		return;
	}
	// One lot for all traces: a lot in [0, 1) is below a rate of 1 always,
	// and below a rate of 0 never.
	const double lot = vrx_random_fraction();
	uint32 slots = VRX_ALL_SLOTS;
	for (const vrx_open_trace *entry = vrx_open_traces; entry != nullptr; entry = entry->next)
	{
		if (!(lot < entry->sample_rate))
			slots &= ~(1u << entry->slot_index);
	}
	vrx_sampled_slots = slots;
}
