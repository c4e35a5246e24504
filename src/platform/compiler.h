// Compiler-specific annotations.
#pragma once

// Lets GCC and Clang check printf-style arguments: `f` is the format's parameter index (1-based,
// counting `this` for members), `a` that of the first argument.
#if defined(__clang__)
#define HALVERN_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#elif defined(__GNUC__)
// gnu_printf: mingw's default printf checking would follow the Microsoft runtime's formats.
#define HALVERN_PRINTF_LIKE(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define HALVERN_PRINTF_LIKE(f, a)
#endif
