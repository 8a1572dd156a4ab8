// Entries that run every call in the host floating-point state chosen with
// set_host_fp_state, and check the registers after it (host/fp_state.h). Each
// loaded provider that is watched takes one of a few slots of such entries.
#pragma once

#include "host/provider_host.h"

namespace tolvane::host {

// A free slot, or -1 when every slot is taken.
int take_watch_slot();
void release_watch_slot(int slot);

// The slot's entries, calling `real` and `rib_main` of one loaded provider.
ProviderEntries watch_entries(int slot, const ProviderEntries &real);
RIB_Main_fn *watch_rib_main(int slot, RIB_Main_fn *rib_main);

}  // namespace tolvane::host
