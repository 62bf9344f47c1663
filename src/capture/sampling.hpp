// Sampling: which traces record the client's statement that runs now.  A
// statement of the client draws one lot, and each trace records it when the
// lot falls below the trace's sample rate; the statements it runs (in
// functions, in triggers, a cursor's fetches) follow the same lot, as
// auto_explain's sampling does.
#pragma once

#include "capture/state.hpp"

// The slots whose traces record the current statement of the client, one
// bit per slot.
extern uint32 vrx_sampled_slots;

// Whether some trace of the open trace list samples at all; updated by the
// registry scan.
extern bool vrx_sampling;

constexpr uint32 VRX_ALL_SLOTS = (1u << VRX_MAX_TRACES) - 1;

// Draws the lot of a statement of the client that starts now.
void vrx_draw_sample(void);

// Whether the entry's trace records the current statement, as far as its
// sample goes.
inline bool vrx_sampled(const vrx_open_trace &entry)
{
	return (vrx_sampled_slots >> entry.slot_index) & 1u;
}
