// How many ended traces a user without vireo_admin privileges may keep on
// disk (vireo.max_ended_traces_per_user).
#pragma once

#include "frame/pg.hpp"

// Raises ERROR 53400, with a hint at vr_cleanup, when user keeps as many
// ended traces as the setting allows or more.  Reads the descriptors of the
// traces root without any lock.
void vrx_check_ended_traces(Oid user);
