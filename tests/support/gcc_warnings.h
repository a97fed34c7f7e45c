// GCC 12 reports -Wrestrict for the memcpy that "literal" + std::string&&
// inlines (GCC bug 105329): a false positive, silenced only around the
// statements that provoke it.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#define ZELMO_RESTRICT_FALSE_POSITIVE_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wrestrict\"")
#define ZELMO_RESTRICT_FALSE_POSITIVE_END _Pragma("GCC diagnostic pop")
#else
#define ZELMO_RESTRICT_FALSE_POSITIVE_BEGIN
#define ZELMO_RESTRICT_FALSE_POSITIVE_END
#endif
