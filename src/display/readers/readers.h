// Image readers: the face of everything that reads an image file's bytes, decodes it and fits
// it to the screen. They take an open file and the screen's size, and assume nothing of the
// process they run in. Each reader is a name, a sniff of the file's first bytes and a read.
#pragma once

#include <SDL.h>

#include <cstddef>
#include <cstdint>

#include "options.h"

/// Decodes the image file open as `file` and fits it to the screen of `options`; `extension`
/// (the path's, without the dot, or null) names the format for the one format told by name
/// only (TGA). Null on failure, with the reason as SDL's error; `info` is filled as soon as the
/// image is decoded, so a fitting failure still has it.
SDL_Surface *decodeImage(int file, const char *extension, const DecodeOptions &options,
                         ImageInfo *info);

/// Threads a reader's library may decode on: the processors this process may run on. Counted
/// on the first call, which must come before the worker is locked down.
int readerThreads();
/// False, with SDL's error naming `format`, when a width x height picture is more than a
/// reader decodes, or needs more than the memory the process may take at `bytesPerPixel`.
bool pictureIsTakeable(const char *format, uint64_t width, uint64_t height, int bytesPerPixel);

/// A reader: its format's name, whether a file's first bytes are of that format, and its read,
/// which gives the picture decoded as planFit says (at full size, or averaged) and fills
/// `info`; null with SDL's error on failure.
struct Reader {
    const char *name;
    bool (*sniff)(const unsigned char *start, size_t size);
    SDL_Surface *(*read)(int file, const DecodeOptions &options, ImageInfo *info);
};
/// The reader of the format named `name`, or null; every other format is SDL_image's.
const Reader *readerNamed(const char *name);
/// Whether the file's first bytes are an ISO media file type box that names `brand`.
bool namesBrand(const unsigned char *start, size_t size, const char *brand);

/// False, with the reason as SDL's error, when `file` is a PNG with a chunk that claims more
/// bytes than the format allows or than the file holds, or that ends within a chunk header.
bool pngChunksFit(int file);
/// False, with the reason as SDL's error, when `file` is an XPM whose pixels use a colour it
/// does not define, or whose rows are shorter than it says; true for any other file.
bool xpmLooksDecodable(int file);
