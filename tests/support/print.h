// Lets GoogleTest print Strings in assertion messages and traces.

#ifndef TESTS_SUPPORT_PRINT_H_
#define TESTS_SUPPORT_PRINT_H_

#include <ostream>

#include "foundation/string.h"

inline std::ostream& operator<<(std::ostream& os, const String& s) {
    return os << '"' << std::string(s.chars(), s.length()) << '"';
}

#endif  // TESTS_SUPPORT_PRINT_H_
