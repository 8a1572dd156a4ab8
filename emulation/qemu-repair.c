/* Repairs for running 32-bit Wine under Debian 12's qemu-i386 user-mode
 * emulator, loaded into every 32-bit process with LD_PRELOAD.
 *
 * qemu 7.2 differs from the Linux kernel in three places that Wine depends
 * on; each repair below gives Wine what the kernel would. Built with the
 * native compiler alone (gcc -m32 -nostdlib -ffreestanding -shared): it
 * declares what it uses of the C library, which the process has loaded
 * already, and needs no 32-bit development files.
 *
 * TOLVANE_QEMU_REPAIRS lists the repairs to apply (default "mmap,trap,tls");
 * the repairs' own tests turn each off in turn to show it is still needed. */

typedef unsigned int size_t;
typedef unsigned int uintptr_t;

extern void *dlsym(void *handle, const char *name);
extern long syscall(long number, ...);
extern int *__errno_location(void);
extern char *getenv(const char *name);
extern void *malloc(size_t size);
extern void free(void *ptr);

#define RTLD_NEXT ((void *)-1)

#define SYS_read 3
#define SYS_open 5
#define SYS_close 6
#define SYS_modify_ldt 123
#define SYS_rt_sigprocmask 175
#define SYS_mmap2 192
#define SYS_set_thread_area 243

#define MAP_FIXED 0x10
#define MAP_FIXED_NOREPLACE 0x100000
#define MAP_FAILED ((void *)-1)
#define EEXIST 17

static int repair_mmap, repair_trap, repair_tls;

static int word_in(const char *list, const char *word)
{
    for (const char *p = list; *p;) {
        const char *w = word;
        while (*w && *p == *w) {
            ++p;
            ++w;
        }
        if (!*w && (*p == ',' || *p == '\0'))
            return 1;
        while (*p && *p != ',')
            ++p;
        if (*p == ',')
            ++p;
    }
    return 0;
}

static void read_settings(void)
{
    static int done;
    if (done)
        return;
    const char *list = getenv("TOLVANE_QEMU_REPAIRS");
    if (!list)
        list = "mmap,trap,tls";
    repair_mmap = word_in(list, "mmap");
    repair_trap = word_in(list, "trap");
    repair_tls = word_in(list, "tls");
    done = 1;
}

/* ---- 1. mmap with MAP_FIXED_NOREPLACE ----------------------------------
 * qemu takes the flag as a hint and maps elsewhere when the range is taken,
 * searching the 4 GiB guest space page by page. Wine reserves its address
 * space by halving ranges until each probe fits, so its start-up becomes
 * ~130,000 such searches and never ends. The kernel's meaning is: fail with
 * EEXIST if anything is mapped there, else map exactly there. qemu's own
 * /proc/self/maps lists the guest's mappings, so look there first. */

static int overlaps_a_mapping(uintptr_t start, uintptr_t end)
{
    char buffer[4096];
    int fd = (int)syscall(SYS_open, "/proc/self/maps", 0 /* O_RDONLY */);
    if (fd < 0)
        return -1;
    int found = 0, field = 0;
    uintptr_t from = 0, to = 0;
    long n;
    /* Each line begins "from-to "; the rest of it is skipped. */
    while (!found && (n = syscall(SYS_read, fd, buffer, sizeof buffer)) > 0) {
        for (long i = 0; i < n && !found; ++i) {
            char c = buffer[i];
            if (c == '\n') {
                field = 0;
                from = to = 0;
                continue;
            }
            if (field > 1)
                continue;
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit >= 0) {
                if (field == 0)
                    from = from << 4 | (uintptr_t)digit;
                else
                    to = to << 4 | (uintptr_t)digit;
            } else if (field == 0) {
                field = 1;
            } else {
                field = 2;
                found = from < end && start < to;
            }
        }
    }
    syscall(SYS_close, fd);
    return found;
}

/* Calls from Wine to mmap are serialised here: between looking at the map and
 * mapping with MAP_FIXED no other caller of ours may take the range. */
static volatile int map_lock;

static void lock(volatile int *l)
{
    while (__atomic_exchange_n(l, 1, __ATOMIC_ACQUIRE))
        __builtin_ia32_pause();
}

static void unlock(volatile int *l)
{
    __atomic_store_n(l, 0, __ATOMIC_RELEASE);
}

static void *map_fixed_noreplace(void *address, size_t length, int prot, int flags, int fd,
                                 unsigned long long offset)
{
    uintptr_t start = (uintptr_t)address;
    uintptr_t end = start + ((length + 4095) & ~4095u);
    if (end < start || (start & 4095)) {
        *__errno_location() = 22; /* EINVAL */
        return MAP_FAILED;
    }
    lock(&map_lock);
    void *result;
    int taken = overlaps_a_mapping(start, end);
    if (taken) {
        /* Also when the map could not be read: never replace blindly. */
        *__errno_location() = EEXIST;
        result = MAP_FAILED;
    } else {
        long r = syscall(SYS_mmap2, address, length, prot,
                         (flags & ~MAP_FIXED_NOREPLACE) | MAP_FIXED, fd,
                         (unsigned long)(offset >> 12));
        result = (void *)r;
    }
    unlock(&map_lock);
    return result;
}

typedef void *(*mmap_function)(void *, size_t, int, int, int, long);
typedef void *(*mmap64_function)(void *, size_t, int, int, int, long long);

void *mmap(void *address, size_t length, int prot, int flags, int fd, long offset)
{
    static mmap_function real;
    read_settings();
    if (repair_mmap && (flags & MAP_FIXED_NOREPLACE) && !(flags & MAP_FIXED))
        return map_fixed_noreplace(address, length, prot, flags, fd, (unsigned long)offset);
    if (!real)
        real = (mmap_function)dlsym(RTLD_NEXT, "mmap");
    return real(address, length, prot, flags, fd, offset);
}

void *mmap64(void *address, size_t length, int prot, int flags, int fd, long long offset)
{
    static mmap64_function real;
    read_settings();
    if (repair_mmap && (flags & MAP_FIXED_NOREPLACE) && !(flags & MAP_FIXED))
        return map_fixed_noreplace(address, length, prot, flags, fd, (unsigned long long)offset);
    if (!real)
        real = (mmap64_function)dlsym(RTLD_NEXT, "mmap64");
    return real(address, length, prot, flags, fd, offset);
}

/* ---- 2. The trap number in a signal's context ----------------------------
 * Linux puts the CPU's exception vector in the context's trapno; qemu puts
 * -1 there. Wine decides what a fault was by that number (14, a page fault,
 * drives guard pages, stack growth and access violations), so every fault
 * became "unexpected trap". The handlers Wine installs are wrapped, and the
 * vector is worked out from the signal and its si_code as the kernel set it. */

#define SIGILL 4
#define SIGTRAP 5
#define SIGBUS 7
#define SIGFPE 8
#define SIGSEGV 11
#define NSIG 65
#define SA_SIGINFO 4

struct kernel_sigaction_i386 { /* glibc's struct sigaction on i386 */
    void (*handler)(int, void *, void *);
    unsigned long mask[32];
    int flags;
    void (*restorer)(void);
};

typedef void (*signal_handler)(int, void *, void *);
static signal_handler wrapped[NSIG];

static int vector_of(int signal, int code)
{
    switch (signal) {
    case SIGSEGV:
        return code == 0x80 /* SI_KERNEL: a protection fault */ ? 13 : 14;
    case SIGBUS:
        return code == 1 /* BUS_ADRALN */ ? 17 : 14;
    case SIGILL:
        return 6;
    case SIGFPE:
        return code == 1 /* FPE_INTDIV */ ? 0 : code == 2 /* FPE_INTOVF */ ? 4 : 16;
    case SIGTRAP:
        return code == 0x80 /* SI_KERNEL: int3 */ ? 3 : 1;
    }
    return -1;
}

static void fill_in_trap(int signal, void *info, void *context)
{
    /* ucontext_t: flags, link, stack (12 bytes), then the 19 registers, of
     * which trapno is the thirteenth. */
    int *trapno = (int *)((char *)context + 20 + 12 * 4);
    if (*trapno == -1)
        *trapno = vector_of(signal, ((int *)info)[2]);
}

static void trap_handler(int signal, void *info, void *context)
{
    fill_in_trap(signal, info, context);
    wrapped[signal](signal, info, context);
}

static int wants_trap(int signal)
{
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE ||
           signal == SIGTRAP;
}

typedef int (*sigaction_function)(int, const struct kernel_sigaction_i386 *,
                                  struct kernel_sigaction_i386 *);

int sigaction(int signal, const struct kernel_sigaction_i386 *action,
              struct kernel_sigaction_i386 *old)
{
    static sigaction_function real;
    if (!real)
        real = (sigaction_function)dlsym(RTLD_NEXT, "sigaction");
    read_settings();
    if (!repair_trap || signal <= 0 || signal >= NSIG || !wants_trap(signal))
        return real(signal, action, old);

    struct kernel_sigaction_i386 copy;
    const struct kernel_sigaction_i386 *given = action;
    signal_handler previous = wrapped[signal];
    if (action && (action->flags & SA_SIGINFO) && (uintptr_t)action->handler > 1) {
        copy = *action;
        copy.handler = trap_handler;
        given = &copy;
    }
    int result = real(signal, given, old);
    if (result == 0) {
        /* The caller sees its own handler, never the wrapper. */
        if (old && old->handler == trap_handler)
            old->handler = previous;
        if (action)
            wrapped[signal] = given == &copy ? action->handler : 0;
    }
    return result;
}

/* ---- 3. Thread-local segments --------------------------------------------
 * qemu keeps one GDT for all threads, so the per-thread TLS descriptors that
 * set_thread_area writes (glibc's %gs, Wine's %fs for the TEB) overwrite
 * each other: after any thread is created, the others load its TEB or TLS
 * block at their next segment reload, which every sigreturn is. The LDT is
 * shared too, but an entry of one's own per thread keeps threads apart.
 * - Wine takes a free GDT TLS slot for %fs if there is one and an LDT entry
 *   per thread otherwise: the free slots are filled at start-up.
 * - glibc's %gs moves to an LDT entry per thread, from the top of the LDT
 *   down (Wine allocates its own from entry 32 up). */

struct user_desc {
    unsigned int entry_number;
    unsigned int base_addr;
    unsigned int limit;
    unsigned int flags; /* seg_32bit:1 contents:2 read_exec_only:1 limit_in_pages:1
                           seg_not_present:1 useable:1 */
};

#define DESC_32BIT 0x01
#define DESC_LIMIT_IN_PAGES 0x10
#define DESC_USEABLE 0x40
#define LDT_ENTRIES 8192
#define OWN_ENTRIES 2048

static unsigned int gdt_tls_entry; /* glibc's slot, as it chose it */
static volatile int ldt_lock;
static struct {
    uintptr_t base;
    unsigned short entry;
} own[OWN_ENTRIES];
static int own_count;

static uintptr_t thread_pointer(void)
{
    uintptr_t tcb;
    __asm__ volatile("movl %%gs:0, %0" : "=r"(tcb)); /* glibc's TCB points to itself */
    return tcb;
}

static unsigned short gs_selector(void)
{
    unsigned short selector;
    __asm__ volatile("movw %%gs, %0" : "=r"(selector));
    return selector;
}

static void load_gs(unsigned short selector)
{
    __asm__ volatile("movw %0, %%gs" ::"r"(selector) : "memory");
}

static void fail(const char *what)
{
    const char *prefix = "qemu-repair: ";
    size_t n = 0, m = 0;
    while (prefix[n])
        ++n;
    while (what[m])
        ++m;
    syscall(4 /* write */, 2, prefix, n);
    syscall(4, 2, what, m);
    syscall(4, 2, "\n", 1);
    syscall(1 /* exit */, 70);
}

/* A stack that glibc gives a new thread is one whose thread has gone, so a
 * thread pointer seen before may take over that thread's entry. */
static unsigned short ldt_entry_for(uintptr_t base)
{
    lock(&ldt_lock);
    int i = 0;
    while (i < own_count && own[i].base != base)
        ++i;
    if (i == own_count) {
        if (own_count == OWN_ENTRIES)
            fail("more than 2048 threads at once");
        own[i].base = base;
        own[i].entry = (unsigned short)(LDT_ENTRIES - 1 - i);
        ++own_count;
        struct user_desc d = {own[i].entry, base, 0xfffff,
                              DESC_32BIT | DESC_LIMIT_IN_PAGES | DESC_USEABLE};
        if (syscall(SYS_modify_ldt, 1, &d, sizeof d) != 0)
            fail("modify_ldt refused the thread's %gs entry");
    }
    unsigned short entry = own[i].entry;
    unlock(&ldt_lock);
    return entry;
}

static unsigned short move_gs_to_ldt(void)
{
    unsigned short selector = (unsigned short)(ldt_entry_for(thread_pointer()) << 3 | 7);
    load_gs(selector);
    return selector;
}

static void set_gdt_tls(unsigned int entry, uintptr_t base)
{
    struct user_desc d = {entry, base, 0xfffff, DESC_32BIT | DESC_LIMIT_IN_PAGES | DESC_USEABLE};
    if (syscall(SYS_set_thread_area, &d) != 0)
        fail("set_thread_area refused glibc's own slot");
}

struct start {
    void *(*routine)(void *);
    void *argument;
    unsigned long mask[2];
};

static void *start_thread(void *p)
{
    /* Signals are blocked until %gs is this thread's own. */
    move_gs_to_ldt();
    struct start s = *(struct start *)p;
    free(p);
    syscall(SYS_rt_sigprocmask, 2 /* SIG_SETMASK */, s.mask, 0, 8);
    return s.routine(s.argument);
}

typedef int (*pthread_create_function)(void *, const void *, void *(*)(void *), void *);
static volatile int create_lock;

int pthread_create(void *thread, const void *attributes, void *(*routine)(void *), void *argument)
{
    static pthread_create_function real;
    if (!real)
        real = (pthread_create_function)dlsym(RTLD_NEXT, "pthread_create");
    read_settings();
    if (!repair_tls)
        return real(thread, attributes, routine, argument);

    struct start *s = malloc(sizeof *s);
    if (!s)
        return 11; /* EAGAIN */
    s->routine = routine;
    s->argument = argument;
    unsigned long all[2] = {~0ul, ~0ul};
    syscall(SYS_rt_sigprocmask, 2, all, s->mask, 8);

    /* glibc names the new thread's GDT slot after the caller's %gs, so for
     * the call the caller is back on that slot, holding its own base. */
    lock(&create_lock);
    unsigned short own_selector = gs_selector();
    set_gdt_tls(gdt_tls_entry, thread_pointer());
    load_gs((unsigned short)(gdt_tls_entry << 3 | 3));
    int result = real(thread, attributes, start_thread, s);
    load_gs(own_selector);
    unlock(&create_lock);

    unsigned long mask[2] = {s->mask[0], s->mask[1]};
    if (result != 0)
        free(s);
    syscall(SYS_rt_sigprocmask, 2, mask, 0, 8);
    return result;
}

__attribute__((constructor)) static void repair_init(void)
{
    read_settings();
    if (!repair_tls)
        return;
    unsigned short selector = gs_selector();
    if (selector & 4)
        return; /* already on the LDT: loaded twice */
    gdt_tls_entry = selector >> 3;
    /* Fill the remaining TLS slots so that Wine takes LDT entries for %fs. A
     * present, non-empty descriptor: an all-zero one would free the slot. */
    for (int i = 0; i < 3; ++i) {
        struct user_desc d = {(unsigned int)-1, 0, 0, DESC_32BIT};
        if (syscall(SYS_set_thread_area, &d) != 0)
            break;
    }
    move_gs_to_ldt();
}
