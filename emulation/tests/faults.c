/* Faults a 32-bit Windows program meets in normal life, each of which Wine
 * handles by the trap number of the signal's context: an access violation on
 * read and on write (with its address and kind), a guard page, and a thread's
 * stack growing page by page. Prints one line per check; exit 0 if all held. */
#include <windows.h>

#include <stdio.h>

/* One instruction each, two bytes long, so the handler can step over it. */
unsigned read_at(volatile unsigned *address);
void write_at(volatile unsigned *address);
__asm__(".globl _read_at\n_read_at:\n\tmovl 4(%esp), %ecx\n\tmovl (%ecx), %eax\n\tret\n"
        ".globl _write_at\n_write_at:\n\tmovl 4(%esp), %ecx\n\tmovl %eax, (%ecx)\n\tret\n");

static volatile DWORD seen_code;
static volatile ULONG_PTR seen_kind, seen_address;

static LONG CALLBACK on_exception(EXCEPTION_POINTERS *info)
{
    EXCEPTION_RECORD *record = info->ExceptionRecord;
    seen_code = record->ExceptionCode;
    seen_kind = record->NumberParameters > 0 ? record->ExceptionInformation[0] : 99;
    seen_address = record->NumberParameters > 1 ? record->ExceptionInformation[1] : 0;
    if (seen_code == EXCEPTION_ACCESS_VIOLATION) {
        info->ContextRecord->Eip += 2;
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (seen_code == STATUS_GUARD_PAGE_VIOLATION)
        return EXCEPTION_CONTINUE_EXECUTION; /* the guard is gone: the access is made again */
    return EXCEPTION_CONTINUE_SEARCH;
}

static int failures;

static void check(int held, const char *what)
{
    printf("%s: %s\n", held ? "ok" : "FAILED", what);
    fflush(stdout);
    failures += !held;
}

/* Touches a page at a time downwards, as a compiler's stack probe does. */
static DWORD WINAPI deep_stack(void *unused)
{
    (void)unused;
    volatile char block[768 * 1024];
    for (int i = (int)sizeof block - 1; i >= 0; i -= 4096)
        block[i] = (char)i;
    return block[0] == 0 ? 1 : 2;
}

int main(void)
{
    AddVectoredExceptionHandler(1, on_exception);
    char *page = VirtualAlloc(NULL, 4096, MEM_RESERVE, PAGE_NOACCESS);
    volatile unsigned *target = (volatile unsigned *)(page + 64);

    seen_code = 0;
    read_at(target);
    check(seen_code == EXCEPTION_ACCESS_VIOLATION && seen_kind == 0 &&
              seen_address == (ULONG_PTR)target,
          "a read of reserved memory is an access violation, a read, at its address");

    seen_code = 0;
    write_at(target);
    check(seen_code == EXCEPTION_ACCESS_VIOLATION && seen_kind == 1 &&
              seen_address == (ULONG_PTR)target,
          "a write to reserved memory is an access violation, a write, at its address");

    volatile unsigned *guarded = VirtualAlloc(NULL, 4096, MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD);
    seen_code = 0;
    guarded[3] = 7;
    check(seen_code == STATUS_GUARD_PAGE_VIOLATION && guarded[3] == 7,
          "a guard page raises its violation once, then takes the write");

    DWORD result = 0;
    HANDLE thread = CreateThread(NULL, 1024 * 1024, deep_stack, NULL,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    WaitForSingleObject(thread, INFINITE);
    GetExitCodeThread(thread, &result);
    check(result == 1, "a thread's stack grows to 768 KiB of its 1 MiB");

    return failures != 0;
}
