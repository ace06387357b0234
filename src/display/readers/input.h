// Reading an image file for the readers, at a position of the reader's own.
#pragma once

#include <sys/types.h>

#include <cstddef>

/// A file a reader reads from a position of its own.
struct FileInput {
    int file;
    off_t at;  ///< where the next read starts
};
/// Reads up to `size` bytes at the input's position and moves past them; how many, 0 at the end
/// of the file or when it cannot be read.
size_t readSome(FileInput *input, void *into, size_t size);
/// Reads `size` bytes of `file` at `at`; false when the file ends first or cannot be read.
bool readExactly(int file, void *into, size_t size, off_t at);
