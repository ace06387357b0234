// Benchmark inputs: photo-like pictures written as PNG and JPEG files.
#pragma once

#include <string>

/// Writes a photo-like width x height picture as PNG; false on failure.
bool writePhotoPng(const std::string &path, int width, int height);
/// Writes a photo-like width x height picture as JPEG at `quality`; false on failure.
bool writePhotoJpeg(const std::string &path, int width, int height, int quality);
