#pragma once

namespace brightfold {

/// Whether this build carries AddressSanitizer, whose runtime reserves terabytes
/// of address space up front and makes system calls of its own for its reports.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitizerBuild = true;
#else
inline constexpr bool kSanitizerBuild = false;
#endif
#else
inline constexpr bool kSanitizerBuild = false;
#endif

}
