/* src/kernel_select.cpp: the processor check and the QUOR_KERNEL override. */
#include "src/kernel_select.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "src/simd.h"

namespace quor {

bool kernel_supported(Kernel k) {
    switch (k) {
    case Kernel::portable:
        return true;
#if QUOR_X86_SIMD
    // The compiler's run-time check also asks the operating system whether it saves
    // the wide registers, not only the processor whether it has them.
    case Kernel::avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
               __builtin_cpu_supports("popcnt");
    case Kernel::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
               kernel_supported(Kernel::avx2);
#endif
    default:
        return false;
    }
}

namespace {

struct Choice {
    Kernel kernel = Kernel::portable;
    std::string error;  ///< non-empty: every count raises this
};

Choice choose_kernel() {
#if QUOR_X86_SIMD
    __builtin_cpu_init();
#endif
    Choice c;
    const char *forced = std::getenv("QUOR_KERNEL");
    if (!forced || !*forced) {
        c.kernel = kernel_supported(Kernel::avx512) ? Kernel::avx512
                   : kernel_supported(Kernel::avx2) ? Kernel::avx2
                                                    : Kernel::portable;
        return c;
    }
    const struct {
        const char *name;
        Kernel kernel;
    } names[] = {{"portable", Kernel::portable}, {"avx2", Kernel::avx2}, {"avx512", Kernel::avx512}};
    for (const auto &n : names) {
        if (std::strcmp(forced, n.name) != 0) continue;
        c.kernel = n.kernel;
        if (!kernel_supported(n.kernel))
            c.error = std::string("QUOR_KERNEL=") + forced +
                      ": this processor or this build cannot run that kernel variant";
        return c;
    }
    c.error = std::string("QUOR_KERNEL='") + forced +
              "' names no kernel variant: use portable, avx2 or avx512";
    return c;
}

const Choice &the_choice() {
    static const Choice choice = choose_kernel();
    return choice;
}

}  // namespace

const char *kernel_name(Kernel k) {
    switch (k) {
    case Kernel::avx512:
        return "avx512";
    case Kernel::avx2:
        return "avx2";
    default:
        return "portable";
    }
}

const std::string &kernel_choice_error() { return the_choice().error; }

Kernel active_kernel() {
    const Choice &choice = the_choice();
    if (!choice.error.empty()) throw std::runtime_error(choice.error);
    return choice.kernel;
}

}  // namespace quor
