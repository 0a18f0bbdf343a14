// The one way the converter gives up: a single message line on standard
// error and exit status 1. Errors are never returned upward.
#pragma once

#if defined(__GNUC__)
#define RATEFOLD_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define RATEFOLD_PRINTF_LIKE(f, a)
#endif

// Prints the formatted message to standard error and ends the process with
// status 1. Does not return.
[[noreturn]] void Fatal(const char* format, ...) RATEFOLD_PRINTF_LIKE(1, 2);
