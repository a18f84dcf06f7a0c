// printf into a std::string for the command line's own texts, checked by the
// compiler like printf, built on the core's checked FormatTextV.
#pragma once

#include <string>

std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
