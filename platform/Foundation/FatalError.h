#pragma once
// A programming error the program cannot continue from: prints the message on
// standard error and aborts, in every build type.
// Thread-safe

#include <string_view>

[[noreturn]] void fatalError(std::string_view message, const char* file = __builtin_FILE(),
                             int line = __builtin_LINE());
