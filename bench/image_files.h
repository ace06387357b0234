// Test and benchmark inputs: photo-like pictures, and a small file of every kind the viewer reads.
#pragma once

#include <string>
#include <vector>

/// The kinds of JPEG file a test or benchmark asks for.
enum class JpegKind {
    colour,       ///< baseline YCbCr, as a camera writes
    greyscale,    ///< one component
    progressive,  ///< YCbCr in several scans, as web pictures often are
    cmyk,         ///< four components, as print workflows write
    flat,         ///< baseline YCbCr of smooth gradients only: quick to write at any size
    rgbCoded,     ///< stored as RGB, not YCbCr
    card,         ///< quadrants of red (top left), green, blue and white (bottom right)
    ycck,         ///< inverted CMYK stored as YCCK, luma and black sampled 2x2, as Adobe's are
    plainCmyk,    ///< CMYK with its inks not inverted, and no Adobe marker to say otherwise
};

/// Writes a photo-like width x height picture as PNG; false on failure.
bool writePhotoPng(const std::string &path, int width, int height);
/// Writes a photo-like width x height picture as JPEG at `quality`, with an EXIF orientation
/// when `orientation` is not 0, or with `exif` as its whole EXIF segment when not empty; false
/// on failure.
bool writePhotoJpeg(const std::string &path, int width, int height, int quality,
                    JpegKind kind = JpegKind::colour, int orientation = 0,
                    const std::string &exif = "", const std::vector<unsigned char> &profile = {});

/// The kinds of WebP file a test asks for.
enum class WebpKind { lossy, lossless, alpha, animated };
/// Writes a photo-like width x height WebP; alpha and animated ones fade to transparent at the
/// right, and an animation has a second, black frame. False on failure.
bool writeTestWebp(const std::string &path, int width, int height, WebpKind kind,
                   const std::vector<unsigned char> &profile = {});
/// Where a test GIF keeps its colours.
enum class GifColours { global, local, none };
/// Writes a width x height GIF of 256 colours, vertical bands of entries 0 to 255, with entry 1
/// transparent when `transparent`, a looping animation's extension first when `looping`;
/// false on failure.
bool writeTestGif(const std::string &path, int width, int height, bool transparent, bool interlaced,
                  GifColours colours = GifColours::global, bool looping = false);

/// The transparency a test PNG carries.
enum class PngTransparency {
    none,
    oneColour,   ///< a tRNS chunk of one fully transparent colour (palette entry 1, or a grey or
                 ///< RGB value the picture uses)
    levels,      ///< paletted only: every palette entry of its own opacity
    firstEntry,  ///< paletted only: entry 0 fully transparent, the usual place
    twoEntries,  ///< paletted only: entries 0 and 1 fully transparent
};

/// The form of a test PNG.
struct PngForm {
    int colourType;  ///< PNG_COLOR_TYPE_GRAY, _GRAY_ALPHA, _RGB, _RGB_ALPHA or _PALETTE
    int bitDepth;    ///< 1, 2, 4, 8 or 16, as the colour type allows
    PngTransparency transparency;
    bool interlaced;      ///< Adam7
    bool stored = false;  ///< uncompressed: each byte of the file holds the same share of rows
    std::vector<unsigned char> profile = {};  ///< an iCCP chunk's profile, when not empty
    double gamma = 0;                         ///< a gAMA chunk's gamma, when not 0 ...
    bool chromaticities = false;      ///< ... with a cHRM chunk of Display P3's; else sRGB is said
    bool srgbChromaticities = false;  ///< ... or with a cHRM chunk of sRGB's own
};

/// Writes a width x height PNG of `form`. Paletted pictures are vertical bands of their
/// palette entries in order, entry 0 red and entry 1 green; the others vary their samples
/// across the picture. False on failure.
bool writeTestPng(const std::string &path, int width, int height, const PngForm &form);

/// Writes a width x height paletted PNG of two colours, black strokes on white like a page of
/// small text; false on failure.
bool writeLineArtPng(const std::string &path, int width, int height);

/// The exact box filter of a width x height RGBA picture to outWidth x outHeight, in double
/// precision straight from the definition: each output pixel the integral of the picture over
/// the rectangle it covers, colours weighted by opacity; RGBA, rounded. The reference the
/// tests and the benchmarks judge fitted pictures by.
std::vector<unsigned char> boxFiltered(const std::vector<unsigned char> &rgba, int width,
                                       int height, int outWidth, int outHeight);

/// The newer formats and JPEG 2000, each written by its own library.
enum class ModernFormat { heif, avif, jxl, jp2 };
/// The kinds of such file a test or benchmark asks for; not every format has every kind.
enum class ModernKind {
    still,            ///< 8-bit colour
    alpha,            ///< fading to transparent towards the right
    deep,             ///< 10 bits a sample (JPEG 2000: 16)
    grid,             ///< AVIF: 2x2 cells, the last black
    turned,           ///< stored on its side, to be shown a quarter turn clockwise
    mirrored,         ///< stored with left and right exchanged
    flipped,          ///< AVIF: stored with top and bottom exchanged
    animated,         ///< AVIF and JPEG XL: with alpha, and a second frame, black
    recompressed,     ///< JPEG XL: a JPEG stored losslessly
    skewedThumbnail,  ///< HEIF: its thumbnail of another shape
    hugeCanvas,       ///< JPEG XL: a width x height frame on a canvas of 50000 x 50000;
                      ///< JPEG 2000: a width x height picture that claims 50000 x 50000
    fullChroma,       ///< AVIF: 4:4:4, its colour at every pixel
    nclxP3,           ///< AVIF: said by its nclx to be in Display P3's primaries and sRGB's curve
    turnedMirrored,   ///< AVIF: stored on its side and mirrored, to be turned, then mirrored
    croppedTop,       ///< AVIF: its clean aperture leaves out the top 8 rows
    sharedGrid,       ///< AVIF: a grid whose four cells are one and the same item
    tiled,            ///< JPEG 2000: in tiles of 64 x 64
    greyAlpha,        ///< JPEG 2000: grey levels (the red of a still) with alpha
    codestream,       ///< JPEG 2000: a bare codestream, without the JP2 boxes
    ycc,              ///< JPEG 2000: sYCC, its chroma at half the resolution both ways
    lossy,            ///< JPEG 2000: the irreversible wavelet, at a twentieth of the size
};
/// Writes a width x height file of `kind`; a HEIF has a thumbnail that fits `thumbnail` pixels
/// square when that is not 0; `grain` makes a photo's work for the encoders. False on failure.
bool writeModernFile(const std::string &path, ModernFormat format, ModernKind kind, int width,
                     int height, int thumbnail = 0, bool grain = false,
                     const std::vector<unsigned char> &profile = {});
/// The file's picture as its library decodes it in full, turned and mirrored as it asks (an
/// AVIF that asks for that, or that libavif refuses, by libheif, as libavif leaves turning to
/// its callers): RGBA. False on failure.
bool decodeModernFile(const std::string &path, ModernFormat format,
                      std::vector<unsigned char> *rgba, int *width, int *height);

/// The colour spaces test pictures are tagged with.
enum class TestProfile { displayP3, adobeRgb, proPhoto, grey22, cmyk, srgb, tabulatedSrgb };
/// The ICC profile of `profile`, made with lcms2; the CMYK one a simple model of inks, the
/// tabulated sRGB one sRGB with its curve in 16 steps, which lcms2 follows to a level.
std::vector<unsigned char> testProfile(TestProfile profile);

/// A kind of small image file that writeSample makes, and the MIME type of its files.
struct SampleKind {
    std::string name;      ///< also the file name ending that fits it, such as "rle.tga"
    std::string mimeType;  ///< as a desktop entry lists it
};
/// Every kind writeSample makes: at least one of each image type the viewer decodes.
extern const std::vector<SampleKind> sampleKinds;
/// An SVG drawing that states a width x height size over a 40x30 view box, with a word of
/// text and its blurred shadow where `text`.
std::string svgDrawing(int width, int height, bool text);
/// Writes `bytes` gzipped; false on failure.
bool writeGzipped(const std::string &path, const std::string &bytes);
/// Writes a valid width x height file of the kind named `kind` (icons are at most 255x255,
/// the GIF is always 2x2); false on failure.
bool writeSample(const std::string &kind, const std::string &path, int width, int height);
