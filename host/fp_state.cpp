#include "host/fp_state.h"

#include <xmmintrin.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>
#endif

namespace tolvane::host {

// MXCSR: exception masks 0x1f80 (invalid 0x80, denormal 0x100, divide by zero
// 0x200, overflow 0x400, underflow 0x800, precision 0x1000), flush-to-zero
// 0x8000, denormals-are-zero 0x40, status flags 0x3f. x87 control word:
// exception masks 0x3f, precision 0x300 (0: 24 bits, 2: 53, 3: 64), rounding
// 0xc00 (3: chop).
const FpState FP_STATES[] = {
    {"default", 0x1f80, 0x037f},
    {"x87-24-bit", 0x1f80, 0x007f},   // Direct3D 9 unless told otherwise
    {"x87-24-bit-chop", 0x1f80, 0x0c7f},
    {"x87-53-bit", 0x1f80, 0x027f},   // what Windows gives a new thread
    {"x87-53-bit-chop", 0x1f80, 0x0e7f},
    {"x87-64-bit", 0x1f80, 0x037f},
    {"x87-64-bit-chop", 0x1f80, 0x0f7f},
    {"x87-traps", 0x1f80, 0x0372},    // invalid, divide by zero and overflow unmasked
    {"ftz", 0x9f80, 0x037f},
    {"daz", 0x1fc0, 0x037f},
    // Every status flag already raised: a call must not clear them either.
    {"ftz-daz-flags-set", 0x9fff, 0x037f},
    // All but precision unmasked, as debug builds of games do.
    {"sse-traps", 0x1000, 0x037f},
};
const size_t FP_STATE_COUNT = sizeof FP_STATES / sizeof FP_STATES[0];

namespace {

std::atomic<const FpState *> current_state{nullptr};
thread_local const char *current_entry = nullptr;

std::mutex faults_mutex;
std::vector<std::string> faults;

// While a probe runs, a trap resumes at its label instead of ending the program.
void *volatile probe_resume = nullptr;
volatile bool probe_trapped = false;

uint16_t x87_control() {
    uint16_t word;
    __asm__ volatile("fnstcw %0" : "=m"(word));
    return word;
}
uint16_t x87_status() {
    uint16_t word;
    __asm__ volatile("fnstsw %0" : "=m"(word));
    return word;
}
void load_x87_control(uint16_t word) { __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(word)); }

void report_trap(const char *what) {
    const FpState *state = current_state.load();
    char line[256];
    const char *entry = current_entry != nullptr ? current_entry : "the test program itself";
    const int n =
        std::snprintf(line, sizeof line, "floating-point trap (%s) in %s, host state %s\n", what,
                      entry, state != nullptr ? state->name : "none");
    std::fwrite(line, 1, n > 0 ? static_cast<size_t>(n) : 0, stderr);
    std::fflush(stderr);
}

#ifdef _WIN32
LONG CALLBACK on_exception(EXCEPTION_POINTERS *info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (probe_resume != nullptr) {
        probe_trapped = true;
#ifdef _WIN64
        info->ContextRecord->Rip = reinterpret_cast<DWORD64>(probe_resume);
#else
        info->ContextRecord->Eip = reinterpret_cast<DWORD>(probe_resume);
#endif
        probe_resume = nullptr;
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    switch (code) {
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case 0xc00002b4:  // STATUS_FLOAT_MULTIPLE_FAULTS: SSE on 32-bit Windows
    case 0xc00002b5:  // STATUS_FLOAT_MULTIPLE_TRAPS
        char what[32];
        std::snprintf(what, sizeof what, "exception 0x%08lx", static_cast<unsigned long>(code));
        report_trap(what);
        ExitProcess(3);
    default:
        return EXCEPTION_CONTINUE_SEARCH;
    }
}

void install_trap_handler() {
    static const bool installed = AddVectoredExceptionHandler(1, on_exception) != nullptr;
    (void)installed;
}
#else
void on_sigfpe(int, siginfo_t *, void *context) {
    if (probe_resume != nullptr) {
        probe_trapped = true;
        static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RIP] =
            reinterpret_cast<greg_t>(probe_resume);
        probe_resume = nullptr;
        return;
    }
    report_trap("SIGFPE");
    _exit(3);
}

void install_trap_handler() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = on_sigfpe;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGFPE, &action, nullptr);
}
#endif

#if defined(__x86_64__)
#define LOAD_RESUME "leaq 1f(%%rip), %[scratch]\n\tmov %[scratch], %[resume]\n\t"
#else
#define LOAD_RESUME "movl $1f, %[scratch]\n\tmov %[scratch], %[resume]\n\t"
#endif

// 1/0 on the SSE unit under `mxcsr`; true if it trapped.
__attribute__((noinline)) bool sse_division_traps(uint32_t mxcsr) {
    const uint32_t program = _mm_getcsr();
    probe_trapped = false;
    float x = 1.0f;
    const float zero = 0.0f;
    void *scratch;
    __asm__ volatile(LOAD_RESUME
                     "ldmxcsr %[csr]\n\t"
                     "divss %[zero], %[x]\n"
                     "1:"
                     : [x] "+x"(x), [scratch] "=&r"(scratch), [resume] "=m"(probe_resume)
                     : [zero] "x"(zero), [csr] "m"(mxcsr)
                     : "memory");
    probe_resume = nullptr;
    _mm_setcsr(program);
    return probe_trapped;
}

// 1/0 on the x87 unit under `control`; true if it trapped. The exception is
// raised at the fwait, and cleared before the unit is used again.
__attribute__((noinline)) bool x87_division_traps(uint16_t control) {
    const uint16_t program = x87_control();
    probe_trapped = false;
    void *scratch;
    __asm__ volatile(LOAD_RESUME
                     "fnclex\n\t"
                     "fldcw %[control]\n\t"
                     "fldz\n\t"
                     "fld1\n\t"
                     "fdiv %%st(1), %%st\n\t"
                     "fwait\n"
                     "1:\n\t"
                     "fnclex\n\t"
                     "fstp %%st(0)\n\t"
                     "fstp %%st(0)"
                     : [scratch] "=&r"(scratch), [resume] "=m"(probe_resume)
                     : [control] "m"(control)
                     : "memory", "st", "st(1)");
    probe_resume = nullptr;
    load_x87_control(program);
    return probe_trapped;
}

void add_fault(std::string text) {
    std::lock_guard<std::mutex> lock(faults_mutex);
    faults.push_back(std::move(text));
}

}  // namespace

const FpState *find_fp_state(const std::string &name) {
    for (size_t i = 0; i < FP_STATE_COUNT; ++i) {
        if (name == FP_STATES[i].name) {
            return &FP_STATES[i];
        }
    }
    return nullptr;
}

const FpState *fp_state_argument(int argc, char **argv) {
    constexpr char OPTION[] = "--host-fp-state=";
    const FpState *state = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], OPTION, sizeof OPTION - 1) == 0) {
            state = find_fp_state(argv[i] + sizeof OPTION - 1);
            if (state == nullptr) {
                std::fprintf(stderr, "no host floating-point state %s; there are:", argv[i]);
                for (size_t s = 0; s < FP_STATE_COUNT; ++s) {
                    std::fprintf(stderr, " %s", FP_STATES[s].name);
                }
                std::fprintf(stderr, "\n");
                std::exit(2);
            }
        }
    }
    return state;
}

void set_host_fp_state(const FpState *state) {
    if (state != nullptr) {
        install_trap_handler();
    }
    current_state.store(state);
}

const FpState *host_fp_state() { return current_state.load(std::memory_order_relaxed); }

bool unmasks_division_by_zero(const FpState &state) {
    return (state.mxcsr & 0x200) == 0 || (state.x87_control & 0x4) == 0;
}

bool division_by_zero_traps(const FpState &state) {
    install_trap_handler();
    const bool sse = sse_division_traps(state.mxcsr);
    const bool x87 = x87_division_traps(state.x87_control);
    return sse || x87;
}

// Out of line, both of them: nothing the compiler computes around the call may
// move into the host's state.
__attribute__((noinline)) FpCall::FpCall(const char *entry)
    : entry_(entry), outer_entry_(current_entry), program_mxcsr_(_mm_getcsr()),
      program_x87_control_(x87_control()) {
    const FpState &state = *host_fp_state();
    current_entry = entry;
    // The x87 flags start clear, so any the call raises and leaves show.
    load_x87_control(state.x87_control);
    _mm_setcsr(state.mxcsr);
}

__attribute__((noinline)) FpCall::~FpCall() {
    const uint32_t mxcsr = _mm_getcsr();
    const uint16_t control = x87_control(), status = x87_status();
    _mm_setcsr(program_mxcsr_);
    load_x87_control(program_x87_control_);
    current_entry = outer_entry_;

    const FpState &state = *host_fp_state();
    char line[200];
    if (mxcsr != state.mxcsr) {
        std::snprintf(line, sizeof line, "%s in host state %s: MXCSR %04x afterwards, %04x before",
                      entry_, state.name, static_cast<unsigned>(mxcsr),
                      static_cast<unsigned>(state.mxcsr));
        add_fault(line);
    }
    if (control != state.x87_control) {
        std::snprintf(line, sizeof line,
                      "%s in host state %s: x87 control word %04x afterwards, %04x before", entry_,
                      state.name, static_cast<unsigned>(control),
                      static_cast<unsigned>(state.x87_control));
        add_fault(line);
    }
    if ((status & 0xff) != 0) {
        std::snprintf(line, sizeof line,
                      "%s in host state %s: x87 exception flags %02x left raised", entry_,
                      state.name, static_cast<unsigned>(status & 0xff));
        add_fault(line);
    }
}

std::vector<std::string> take_fp_faults() {
    std::lock_guard<std::mutex> lock(faults_mutex);
    std::vector<std::string> taken;
    taken.swap(faults);
    return taken;
}

}  // namespace tolvane::host
