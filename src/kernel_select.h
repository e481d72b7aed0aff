/* src/kernel_select.h: which vector instruction set the pair kernels use, chosen once
   per process from the processor, or forced by the environment variable QUOR_KERNEL. */
#pragma once

#include <string>
#include <type_traits>

namespace quor {

enum class Kernel { portable, avx2, avx512 };

/// The kernel variant of this process: QUOR_KERNEL (portable, avx2 or avx512) when set
/// and not empty, else the widest the processor runs. Read once, at first use. Throws
/// std::runtime_error, on this and every later call, when QUOR_KERNEL names no variant
/// or one this processor (or this build) cannot run.
Kernel active_kernel();

/// True when this build and this processor can run `k`.
bool kernel_supported(Kernel k);

/// The variant's name as QUOR_KERNEL spells it.
const char *kernel_name(Kernel k);

/// The error active_kernel() throws, or "" when it returns a variant.
const std::string &kernel_choice_error();

/// Calls f(std::integral_constant<Kernel, k>{}) for the active variant, so that kernels
/// take the variant as a template parameter.
template <class F>
decltype(auto) with_kernel(F &&f) {
    switch (active_kernel()) {
    case Kernel::avx512:
        return f(std::integral_constant<Kernel, Kernel::avx512>{});
    case Kernel::avx2:
        return f(std::integral_constant<Kernel, Kernel::avx2>{});
    default:
        return f(std::integral_constant<Kernel, Kernel::portable>{});
    }
}

}  // namespace quor
