// Test and benchmark inputs: photo-like pictures written as PNG and JPEG files.
#pragma once

#include <string>

/// The kinds of JPEG file a test or benchmark asks for.
enum class JpegKind {
    colour,       ///< baseline YCbCr, as a camera writes
    greyscale,    ///< one component
    progressive,  ///< YCbCr in several scans, as web pictures often are
    cmyk,         ///< four components, as print workflows write
    flat,         ///< baseline YCbCr of smooth gradients only: quick to write at any size
};

/// Writes a photo-like width x height picture as PNG; false on failure.
bool writePhotoPng(const std::string &path, int width, int height);
/// Writes a photo-like width x height picture as JPEG at `quality`; false on failure.
bool writePhotoJpeg(const std::string &path, int width, int height, int quality,
                    JpegKind kind = JpegKind::colour);
