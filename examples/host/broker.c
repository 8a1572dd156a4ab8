/* The broker over a fixed table: enough for one provider's 46 entries. */
#include <string.h>

#include "broker.h"

#define MAX_ENTRIES 64

static struct {
    HPROVIDER provider;
    const char *interface_name; /* the provider's text: it lives as long as the library */
    InterfaceEntry entry;       /* a copy: the provider's array may be on its stack */
} table[MAX_ENTRIES];
static int used;
static HPROVIDER last_handle;

BROKER_API HPROVIDER TOLVANE_CALL RIB_alloc_provider_handle(int32_t zero) {
    (void)zero;
    return ++last_handle;
}

BROKER_API int32_t TOLVANE_CALL RIB_register_interface(HPROVIDER provider,
                                                       const char *interface_name,
                                                       int32_t entry_count,
                                                       const InterfaceEntry *entries) {
    for (int32_t i = 0; i < entry_count; ++i) {
        if (used == MAX_ENTRIES) {
            return 0;
        }
        table[used].provider = provider;
        table[used].interface_name = interface_name;
        table[used].entry = entries[i];
        ++used;
    }
    return 1;
}

/* Withdraws everything the provider registered, whatever else it passes. */
BROKER_API int32_t TOLVANE_CALL RIB_unregister_interface(HPROVIDER provider,
                                                         const char *interface_name,
                                                         int32_t entry_count,
                                                         const InterfaceEntry *entries) {
    (void)interface_name;
    (void)entry_count;
    (void)entries;
    int kept = 0;
    for (int i = 0; i < used; ++i) {
        if (table[i].provider != provider) {
            table[kept++] = table[i];
        }
    }
    used = kept;
    return 1;
}

BROKER_API HPROVIDER broker_last_handle(void) { return last_handle; }

BROKER_API const InterfaceEntry *broker_find(HPROVIDER provider, const char *interface_name,
                                             const char *name) {
    for (int i = 0; i < used; ++i) {
        if (table[i].provider == provider &&
            strcmp(table[i].interface_name, interface_name) == 0 &&
            strcmp(table[i].entry.name, name) == 0) {
            return &table[i].entry;
        }
    }
    return NULL;
}
