/* A complete host for tolvane.flt, in plain C: it loads the provider, attaches
 * it, finds its entries by name, opens a driver and one voice, sets properties
 * given as NAME=VALUE, equalises a raw 16-bit file in host-sized blocks and
 * detaches.
 *
 *   tolvane-host PROVIDER RATE CHANNELS BLOCK IN.raw OUT.raw [NAME=VALUE ...]
 *
 * IN.raw holds native 16-bit samples, interleaved left then right for stereo.
 * A value is a number; a switch may be true or false; a type may be lowpass,
 * highpass, lowshelf, highshelf or peaking. Example:
 *
 *   tolvane-host ./tolvane.flt 48000 2 1024 in.raw out.raw \
 *       "0 Type 0=peaking" "0 Freq 0=1000" "0 Gain 0=6" "0 Enable 0=true"
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "broker.h"
#include "tolvane.h"

static int fail(const char *what, const char *detail) {
    fprintf(stderr, "tolvane-host: %s%s\n", what, detail);
    return 1;
}

/* The provider is a DLL on Windows and a shared object elsewhere. */
static void *load_library(const char *path) {
#ifdef _WIN32
    return (void *)LoadLibraryA(path);
#else
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
}

static void *find_export(void *library, const char *name) {
#ifdef _WIN32
    return (void *)GetProcAddress((HMODULE)library, name);
#else
    return dlsym(library, name);
#endif
}

static void unload_library(void *library) {
#ifdef _WIN32
    FreeLibrary((HMODULE)library);
#else
    dlclose(library);
#endif
}

static HPROVIDER provider;

/* A registered function, by name. */
static void *function(const char *interface_name, const char *name) {
    const InterfaceEntry *entry = broker_find(provider, interface_name, name);
    return entry != NULL && entry->kind == ENTRY_FUNCTION ? (void *)entry->value : NULL;
}

/* Sets one sample property from "NAME=VALUE" through the property entry;
 * prints what the provider stored when it clamped the value. */
static int set_property(FLTSMP_sample_property_fn *property, void *state, const char *text) {
    static const char *const types[] = {"lowpass", "highpass", "lowshelf", "highshelf", "peaking"};
    char name[64];
    const char *equals = strchr(text, '=');
    if (equals == NULL || (size_t)(equals - text) >= sizeof name) {
        return fail("not NAME=VALUE: ", text);
    }
    memcpy(name, text, (size_t)(equals - text));
    name[equals - text] = '\0';
    const char *value = equals + 1;
    const InterfaceEntry *entry = broker_find(provider, INTERFACE_SAMPLE, name);
    if (entry == NULL || entry->kind != ENTRY_PROPERTY) {
        return fail("the provider has no sample property ", name);
    }
    const int32_t token = (int32_t)entry->value;
    char *end = NULL;
    if (entry->subtype == SUBTYPE_FLOAT) {
        const float number = strtof(value, &end);
        if (end == value || *end != '\0') {
            return fail("not a number: ", text);
        }
        float stored = 0.0f;
        property(state, token, NULL, &number, &stored);
        if (stored != number) {
            printf("%s: %g given, %g stored\n", name, number, stored);
        }
        return 0;
    }
    int32_t number = (int32_t)strtol(value, &end, 10);
    if (strcmp(value, "true") == 0 || strcmp(value, "false") == 0) {
        number = value[0] == 't';
    } else if (end == value || *end != '\0') {
        int found = 0;
        for (int32_t t = 0; t < 5 && !found; ++t) {
            if (strcmp(value, types[t]) == 0) {
                number = t;
                found = 1;
            }
        }
        if (!found) {
            return fail("not a number, switch or type: ", text);
        }
    }
    property(state, token, NULL, &number, NULL);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 7) {
        fprintf(stderr, "usage: tolvane-host PROVIDER RATE CHANNELS BLOCK IN.raw OUT.raw "
                        "[NAME=VALUE ...]\n");
        return 2;
    }
    const int32_t rate = atoi(argv[2]), channels = atoi(argv[3]), block = atoi(argv[4]);
    if (rate <= 0 || (channels != 1 && channels != 2) || block <= 0) {
        return fail("RATE and BLOCK must be positive, CHANNELS 1 or 2", "");
    }

    /* Load and attach: the provider registers its two interfaces with us. */
    void *library = load_library(argv[1]);
    if (library == NULL) {
        return fail("cannot load ", argv[1]);
    }
    RIB_Main_fn *rib_main = (RIB_Main_fn *)find_export(library, RIB_MAIN_EXPORT_NAME);
    if (rib_main == NULL) {
        return fail("exports no " RIB_MAIN_EXPORT_NAME ": ", argv[1]);
    }
    rib_main(0, 1, 0, 0, 0);
    provider = broker_last_handle(); /* the one that attach asked for */

    PROVIDER_property_fn *provider_property =
        (PROVIDER_property_fn *)function(INTERFACE_FILTER, "PROVIDER_property");
    FLT_open_driver_fn *open_driver =
        (FLT_open_driver_fn *)function(INTERFACE_FILTER, "FLT_open_driver");
    FLT_close_driver_fn *close_driver =
        (FLT_close_driver_fn *)function(INTERFACE_FILTER, "FLT_close_driver");
    FLTSMP_open_sample_fn *open_sample =
        (FLTSMP_open_sample_fn *)function(INTERFACE_SAMPLE, "FLTSMP_open_sample");
    FLTSMP_close_sample_fn *close_sample =
        (FLTSMP_close_sample_fn *)function(INTERFACE_SAMPLE, "FLTSMP_close_sample");
    FLTSMP_sample_process_fn *process =
        (FLTSMP_sample_process_fn *)function(INTERFACE_SAMPLE, "FLTSMP_sample_process");
    FLTSMP_sample_property_fn *property =
        (FLTSMP_sample_property_fn *)function(INTERFACE_SAMPLE, "FLTSMP_sample_property");
    if (!provider_property || !open_driver || !close_driver || !open_sample || !close_sample ||
        !process || !property) {
        return fail("an entry is missing from ", argv[1]);
    }

    /* The host supplies the memory of every record, in the sizes asked. */
    int32_t sample_size = 0, driver_size = 0;
    provider_property(TOKEN_SAMPLE_STATE_SIZE, &sample_size, NULL, NULL);
    provider_property(TOKEN_DRIVER_STATE_SIZE, &driver_size, NULL, NULL);
    void *driver_memory = calloc(1, (size_t)driver_size);
    void *state_memory = calloc(1, (size_t)sample_size);
    unsigned char host_driver[64] = {0}; /* our own driver record: the rate sits 20 bytes in */
    memcpy(host_driver + HOST_DRIVER_RATE_OFFSET, &rate, sizeof rate);
    void *driver = open_driver(0, 0, 0, host_driver, driver_memory);
    void *state = driver != NULL ? open_sample(driver, 0, state_memory) : NULL;
    if (state == NULL) {
        return fail("cannot open a voice", "");
    }
    for (int i = 7; i < argc; ++i) {
        if (set_property(property, state, argv[i]) != 0) {
            return 1;
        }
    }

    /* Equalise the file in place, one host-sized block at a time. */
    FILE *in = fopen(argv[5], "rb"), *out = fopen(argv[6], "wb");
    if (in == NULL || out == NULL) {
        return fail("cannot open ", in == NULL ? argv[5] : argv[6]);
    }
    int16_t *samples = malloc((size_t)block * (size_t)channels * sizeof *samples);
    size_t frames;
    while ((frames = fread(samples, sizeof *samples * (size_t)channels, (size_t)block, in)) > 0) {
        process(state, samples, samples, (int32_t)frames, rate, channels == 2);
        fwrite(samples, sizeof *samples * (size_t)channels, frames, out);
    }
    const int failed = ferror(in) || fclose(out) != 0;
    fclose(in);

    /* Close the voice and the driver, detach, unload. */
    close_sample(state);
    close_driver(driver);
    rib_main(0, 0, 0, 0, 0);
    unload_library(library);
    free(samples);
    free(state_memory);
    free(driver_memory);
    return failed ? fail("cannot read or write the audio", "") : 0;
}
