#pragma once
// The operating system and architecture this build targets, as the
// compiler names them.
#include <string_view>

namespace halvo::platform {

#if defined(__APPLE__)
inline constexpr std::string_view kTargetOs = "macos";
#elif defined(__linux__)
inline constexpr std::string_view kTargetOs = "linux";
#elif defined(__FreeBSD__)
inline constexpr std::string_view kTargetOs = "freebsd";
#else
#error "unknown target operating system"
#endif

#if defined(__x86_64__)
inline constexpr std::string_view kTargetArch = "x86_64";
#elif defined(__aarch64__)
inline constexpr std::string_view kTargetArch = "aarch64";
#elif defined(__riscv) && __riscv_xlen == 64
inline constexpr std::string_view kTargetArch = "riscv64";
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline constexpr std::string_view kTargetArch = "powerpc64le";
#elif defined(__s390x__)
inline constexpr std::string_view kTargetArch = "s390x";
#else
#error "unknown target architecture"
#endif

}  // namespace halvo::platform
