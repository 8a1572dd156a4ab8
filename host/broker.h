/* The stand-in host's interface broker: it hands out provider handles, keeps
 * every registration, and lets tests and tools see what a provider did.
 *
 * The three RIB_ functions of tolvane.h are the broker's side of the
 * contract; the host_ functions below are ours, for the programs that stand
 * in for the host. */
#ifndef TOLVANE_HOST_BROKER_H
#define TOLVANE_HOST_BROKER_H

#include <stddef.h>

#include "tolvane.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BROKER_ALLOC 0
#define BROKER_REGISTER 1
#define BROKER_UNREGISTER 2

/* One call a provider made into the broker, as it was made. */
typedef struct BrokerCall {
    int32_t kind;               /* BROKER_ALLOC, BROKER_REGISTER or BROKER_UNREGISTER */
    HPROVIDER handle;           /* the handle passed, or the one handed out */
    uintptr_t interface_arg;    /* the interface-name argument as an address */
    const char *interface_name; /* the broker's copy of that name; "" when null */
    int32_t entry_count;
    uintptr_t entries_arg;      /* the entries argument as an address */
    const InterfaceEntry *entries; /* the broker's copies; names point at copies too */
} BrokerCall;

/* Every call since the broker started, in order. */
size_t host_call_count(void);
int host_call(size_t index, BrokerCall *out);

/* Entries that handle currently has registered under the interface, in
 * registration order: the number of them, of which up to capacity are copied.
 * Names returned by the broker are its own copies and stay valid. */
size_t host_entries(HPROVIDER handle, const char *interface_name, InterfaceEntry *out,
                    size_t capacity);

/* The live entry of that name; 1 if found. */
int host_find_entry(HPROVIDER handle, const char *interface_name, const char *entry_name,
                    InterfaceEntry *out);

/* Makes the next RIB_alloc_provider_handle return this value. */
void host_force_next_handle(HPROVIDER handle);

#ifdef __cplusplus
}
#endif

#endif
