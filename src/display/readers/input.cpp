// Reading an image file for the readers: at a position of the reader's own, never moving the
// descriptor's offset, so that a reader may start anywhere and twice.
#include <unistd.h>

#include <cerrno>

#include "readers.h"
#include "input.h"

size_t readSome(FileInput *input, void *into, size_t size) {
    ssize_t got;
    do {
        got = pread(input->file, into, size, input->at);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return 0;
    input->at += got;
    return size_t(got);
}

bool readExactly(int file, void *into, size_t size, off_t at) {
    FileInput input{file, at};
    for (size_t done = 0; done < size;) {
        const size_t got = readSome(&input, static_cast<char *>(into) + done, size - done);
        if (got == 0) return false;
        done += got;
    }
    return true;
}
