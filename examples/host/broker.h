/* The host's side of the interface broker: the three functions a provider
 * calls while it attaches and detaches, and a lookup of what it registered. */
#ifndef EXAMPLE_BROKER_H
#define EXAMPLE_BROKER_H

#include "tolvane.h"

/* On Windows the provider imports the broker from mss32.dll, so the broker is
 * built as that DLL; elsewhere the host program itself exports it. */
#ifdef _WIN32
#define BROKER_API __declspec(dllexport)
#else
#define BROKER_API
#endif

/* The handle RIB_alloc_provider_handle handed out last. */
BROKER_API HPROVIDER broker_last_handle(void);

/* The entry `name` of interface `interface_name` that `provider` registered,
 * or a null pointer. */
BROKER_API const InterfaceEntry *broker_find(HPROVIDER provider, const char *interface_name,
                                             const char *name);

#endif
