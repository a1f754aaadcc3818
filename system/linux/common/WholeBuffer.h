#pragma once

#include "Result.h"

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace sentorix::linux_system {

// Whole buffers through read(2) and write(2), which may stop short or be interrupted by a signal.
class WholeBuffer {
public:
    // Writes all `length` bytes: how many were written, all of them unless errno says why not.
    static std::size_t write(int fd, const void* bytes, std::size_t length);
    // Reads until `length` bytes or the end of the file: how many, or -1 with errno set.
    static ssize_t read(int fd, void* buffer, std::size_t length);
    // Everything up to the end of the file or `limit` bytes; the error has errno's code.
    static Result<std::string> readToEnd(int fd, std::size_t limit);
};

}  // namespace sentorix::linux_system
