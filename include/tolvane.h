/* tolvane: the binary contract between a host's interface broker and the
 * tolvane.flt equaliser provider. Plain C; HOST.md tells how a host loads
 * and drives the provider.
 *
 * The provider, the stand-in host, the tools and the tests all include this
 * header; nobody declares an entry point anywhere else.
 *
 * On 32-bit Windows every function is stdcall and every value is 32 bits, so
 * the records below have the host's exact layout there (InterfaceEntry: 16
 * bytes). Elsewhere the platform's C convention applies and every value that
 * may carry an address is pointer-sized. */
#ifndef TOLVANE_H
#define TOLVANE_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define TOLVANE_CALL __stdcall
#else
#define TOLVANE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t HPROVIDER;

/* InterfaceEntry.kind */
#define ENTRY_FUNCTION 0
#define ENTRY_PROPERTY 1

/* InterfaceEntry.subtype of a property: how its value slot is read. The high
 * bit marks provider attributes, which are reported and never changed. */
#define SUBTYPE_INTEGER 2                       /* signed 32-bit integer */
#define SUBTYPE_FLOAT 4                         /* 32-bit float */
#define SUBTYPE_BOOLEAN 6                       /* 32-bit integer, 0 or 1 */
#define SUBTYPE_PROVIDER_INTEGER 0x80000003u    /* 32-bit integer */
#define SUBTYPE_PROVIDER_TEXT 0x80000007u       /* address of a text */

typedef struct InterfaceEntry {
    int32_t kind;         /* ENTRY_FUNCTION or ENTRY_PROPERTY */
    const char *name;     /* lives as long as the provider library */
    intptr_t value;       /* function: its address; property: its token */
    uint32_t subtype;     /* function: 0; property: a SUBTYPE_ code */
} InterfaceEntry;

/* Interface names. */
#define INTERFACE_FILTER "MSS pipeline filter"
#define INTERFACE_SAMPLE "Pipeline filter sample services"

/* Provider property tokens, answered by PROVIDER_property. Tokens 1 and 2
 * have no registered name: they tell the host how much memory to supply. */
#define TOKEN_FLAGS 0
#define TOKEN_SAMPLE_STATE_SIZE 1
#define TOKEN_DRIVER_STATE_SIZE 2
#define TOKEN_NAME (-100)
#define TOKEN_VERSION (-101)

/* Sample property tokens, answered by FLTSMP_sample_property.
 * A band parameter's token is TOKEN_BAND_FIRST + 15*preset + 5*band + k,
 * k in the order Freq, Q, Gain, Type, Enable. */
#define TOKEN_LERP 3
#define TOKEN_BAND_FIRST 4
#define TOKEN_BAND_LAST 33
#define TOKEN_BAND(preset, band, k) (TOKEN_BAND_FIRST + 15 * (preset) + 5 * (band) + (k))
#define PARAM_FREQ 0
#define PARAM_Q 1
#define PARAM_GAIN 2
#define PARAM_TYPE 3
#define PARAM_ENABLE 4

/* Results of FLT_startup and FLT_shutdown. */
#define RESULT_OK 0
#define RESULT_ALREADY_STARTED 2
#define RESULT_NOT_INITIALIZED 8

/* The host driver record holds the driver's sample rate, a signed 32-bit
 * integer, this many bytes from its start. */
#define HOST_DRIVER_RATE_OFFSET 20

/* Each entry point is declared through a function type, so that hosts and
 * tests can name the pointer type (`FLT_startup_fn *`) of the very same
 * declaration. */
#define TOLVANE_ENTRY(ret, name, args) \
    typedef ret TOLVANE_CALL name##_fn args; \
    name##_fn name

/* Supplied by the host's broker. */
TOLVANE_ENTRY(HPROVIDER, RIB_alloc_provider_handle, (int32_t zero));
TOLVANE_ENTRY(int32_t, RIB_register_interface,
              (HPROVIDER provider, const char *interface_name, int32_t entry_count,
               const InterfaceEntry *entries));
TOLVANE_ENTRY(int32_t, RIB_unregister_interface,
              (HPROVIDER provider, const char *interface_name, int32_t entry_count,
               const InterfaceEntry *entries));

/* The provider's one export: attach (nonzero) or detach (zero). Returns 1.
 * Its exported name carries the stdcall decoration on 32-bit Windows. */
#if defined(_WIN32) && !defined(_WIN64)
#define RIB_MAIN_EXPORT_NAME "_RIB_Main@20"
#else
#define RIB_MAIN_EXPORT_NAME "RIB_Main"
#endif
TOLVANE_ENTRY(int32_t, RIB_Main,
              (HPROVIDER ignored1, int32_t attach, uintptr_t ignored3, uintptr_t ignored4,
               uintptr_t ignored5));

/* Reached by name through the registered tables. */
TOLVANE_ENTRY(int32_t, PROVIDER_property,
              (int32_t token, void *value, const void *unused1, void *unused2));
TOLVANE_ENTRY(int32_t, FLT_startup, (void));
TOLVANE_ENTRY(const char *, FLT_error, (void));
TOLVANE_ENTRY(int32_t, FLT_shutdown, (void));
TOLVANE_ENTRY(void *, FLT_open_driver,
              (uintptr_t open_param1, uintptr_t open_param2, uintptr_t open_param3,
               const void *host_driver, void *memory));
/* Also registered as FLTSMP_close_sample. */
TOLVANE_ENTRY(int32_t, FLT_close_driver, (void *unused));
TOLVANE_ENTRY(void, FLT_premix_process, (void *unused));
TOLVANE_ENTRY(int32_t, FLT_postmix_process, (void *unused1, void *unused2));
TOLVANE_ENTRY(void *, FLTSMP_open_sample, (void *driver, uintptr_t sample, void *memory));
typedef FLT_close_driver_fn FLTSMP_close_sample_fn;
TOLVANE_ENTRY(void, FLTSMP_sample_process,
              (void *state, const int16_t *source, int16_t *destination, int32_t frames,
               int32_t rate, int32_t stereo));
TOLVANE_ENTRY(int32_t, FLTSMP_sample_property,
              (void *state, int32_t token, void *before, const void *new_value, void *after));

#ifdef __cplusplus
}
#endif

#endif
