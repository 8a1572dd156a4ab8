/* Threads that each keep their own TEB and TLS slot while faults come and
 * go: every fault is a signal whose return reloads the segment registers, the
 * moment at which a thread could pick up another thread's segment. Threads
 * are started in waves while earlier ones are still faulting.
 * Usage: threads [THREADS [FAULTS]]; exit 0 if no thread saw another's state. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

static DWORD slot;
static int faults_per_thread = 40;
static volatile LONG mismatches;
static volatile LONG handled;
static char *forbidden;

unsigned read_at(volatile unsigned *address);
__asm__(".globl _read_at\n_read_at:\n\tmovl 4(%esp), %ecx\n\tmovl (%ecx), %eax\n\tret\n");

static LONG CALLBACK on_exception(EXCEPTION_POINTERS *info)
{
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    InterlockedIncrement(&handled);
    info->ContextRecord->Eip += 2;
    return EXCEPTION_CONTINUE_EXECUTION;
}

static void *teb_self(void)
{
    void *teb;
    __asm__ volatile("movl %%fs:0x18, %0" : "=r"(teb));
    return teb;
}

static DWORD teb_thread_id(void)
{
    DWORD id;
    __asm__ volatile("movl %%fs:0x24, %0" : "=r"(id)); /* ClientId.UniqueThread */
    return id;
}

static DWORD WINAPI worker(void *marker)
{
    void *teb = teb_self();
    DWORD id = GetCurrentThreadId();
    TlsSetValue(slot, marker);
    for (int i = 0; i < faults_per_thread; ++i) {
        read_at((volatile unsigned *)(forbidden + 4 * i));
        if (teb_self() != teb || teb_thread_id() != id || TlsGetValue(slot) != marker) {
            InterlockedIncrement(&mismatches);
            return 1;
        }
    }
    return 0;
}

int main(int argc, char **argv)
{
    int threads = argc > 1 ? atoi(argv[1]) : 64;
    if (argc > 2)
        faults_per_thread = atoi(argv[2]);
    enum { WAVE = 8 };
    slot = TlsAlloc();
    forbidden = VirtualAlloc(NULL, 4096, MEM_RESERVE, PAGE_NOACCESS);
    AddVectoredExceptionHandler(1, on_exception);

    HANDLE running[WAVE] = {0};
    for (int started = 0; started < threads; ++started) {
        HANDLE *place = &running[started % WAVE];
        if (*place) {
            WaitForSingleObject(*place, INFINITE);
            CloseHandle(*place);
        }
        *place = CreateThread(NULL, 0, worker, (void *)(ULONG_PTR)(started + 1), 0, NULL);
        if (!*place) {
            printf("FAILED: thread %d could not be created\n", started);
            return 1;
        }
    }
    for (int i = 0; i < WAVE; ++i)
        if (running[i])
            WaitForSingleObject(running[i], INFINITE);
    printf("%d threads, %ld faults handled, %ld saw another thread's TEB or TLS\n", threads,
           handled, mismatches);
    return mismatches != 0 || handled != (LONG)threads * faults_per_thread;
}
