/* glibc's threads each keep their own thread-local storage while signals come
 * and go. A 32-bit Linux program built without 32-bit development files: its
 * own _start, linked against the system's i386 libc.so.6.
 * Usage: tls [THREADS [SIGNALS]]; exit 0 if no thread saw another's TLS. */
typedef unsigned long pthread_t;

extern int __libc_start_main(int (*main)(int, char **, char **), int argc, char **argv,
                             void (*init)(void), void (*fini)(void), void (*rtld_fini)(void),
                             void *stack_end);
extern int pthread_create(pthread_t *thread, const void *attributes, void *(*start)(void *),
                          void *argument);
extern int pthread_join(pthread_t thread, void **result);
extern pthread_t pthread_self(void);
extern int raise(int signal);
extern void (*signal(int number, void (*handler)(int)))(int);
extern int atoi(const char *text);
extern int printf(const char *format, ...);

#define SIGUSR1 10

__asm__(".globl _start\n_start:\n"
        "\txorl %ebp, %ebp\n\tpopl %esi\n\tmovl %esp, %ecx\n\tandl $-16, %esp\n"
        "\tpushl %eax\n\tpushl %esp\n\tpushl %edx\n\tpushl $0\n\tpushl $0\n"
        "\tpushl %ecx\n\tpushl %esi\n\tpushl $main\n\tcall __libc_start_main\n\thlt\n");

static __thread long mine;
static int signals_per_thread = 40;
static volatile int mismatches;

static void on_signal(int number) { (void)number; }

static void *worker(void *marker)
{
    mine = (long)marker;
    pthread_t self = pthread_self();
    for (int i = 0; i < signals_per_thread; ++i) {
        raise(SIGUSR1);
        if (mine != (long)marker || pthread_self() != self) {
            __atomic_add_fetch(&mismatches, 1, __ATOMIC_RELAXED);
            return 0;
        }
    }
    return 0;
}

int main(int argc, char **argv, char **environment)
{
    (void)environment;
    int threads = argc > 1 ? atoi(argv[1]) : 64;
    if (argc > 2)
        signals_per_thread = atoi(argv[2]);
    enum { WAVE = 8 };
    signal(SIGUSR1, on_signal);
    mine = -1;
    pthread_t running[WAVE];
    for (int started = 0; started < threads; ++started) {
        if (started >= WAVE)
            pthread_join(running[started % WAVE], 0);
        if (pthread_create(&running[started % WAVE], 0, worker, (void *)(long)(started + 1)) != 0) {
            printf("FAILED: thread %d could not be created\n", started);
            return 1;
        }
        raise(SIGUSR1); /* the main thread too, while the others run */
        if (mine != -1)
            __atomic_add_fetch(&mismatches, 1, __ATOMIC_RELAXED);
    }
    for (int i = 0; i < WAVE && i < threads; ++i)
        pthread_join(running[i], 0);
    printf("%d threads, %d saw another thread's TLS\n", threads, mismatches);
    return mismatches != 0;
}
