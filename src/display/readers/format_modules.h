// The libraries only some files need, each in a module of its own: colour conversion (lcms2),
// the readers of HEIF, AVIF, JPEG XL, JPEG 2000 and SVG with their codecs, and SDL_image's readers
// with libtiff for every other format. The decoder helper loads a module
// the first time a file needs it, before it forks the next worker, which inherits it; nothing
// is loaded in a worker once it is locked down.
#pragma once

#include "colour.h"
#include "readers.h"

/// The modules, by number.
enum FormatModule {
    kColourModule,
    kHeifModule,
    kAvifModule,
    kJxlModule,
    kSdlImageModule,
    kJp2Module,
    kSvgModule,
    kFormatModuleCount
};

/// A locked-down worker that needs a module it has not got ends with this status plus the
/// module's number; the helper then loads the module, and the viewer asks the next worker.
constexpr int kWorkerNeedsModule = 100;

/// A format's reader, as its module offers it.
struct FormatReaderModule {
    /// Reads the file as the readers in readers.h do.
    SDL_Surface *(*read)(int file, const DecodeOptions &options, ImageInfo *info);
    /// The library's one-time set-up, which may make calls a locked-down worker may not.
    void (*prepare)();
};

/// SDL_image's readers, as their module offers them.
struct SdlImageModule {
    /// Reads the file as decodeImage does a format without a reader of its own (`extension`
    /// tells TGA, which has no signature): at full size, with the depth SDL_image gives.
    SDL_Surface *(*read)(int file, const char *extension, ImageInfo *info);
    void (*prepare)();
};

/// lcms2's conversions, as the colour module offers them (see readers.h).
struct ColourModule {
    void (*convertToSrgb)(SDL_Surface *picture, const ColourDescription &colours,
                          const DecodeOptions &options);
    void *(*startCmykConversion)(const ColourDescription &colours, const DecodeOptions &options,
                                 bool inverted);
    void (*convertCmykRow)(void *conversion, unsigned char *pixels, int width);
    void (*stopCmykConversion)(void *conversion);
    /// Makes the built-in sRGB profile.
    void (*prepare)();
};

/// The tables the modules define, by these names.
extern "C" const ColourModule lumoscapeColourModule;
extern "C" const FormatReaderModule lumoscapeHeifModule;
extern "C" const FormatReaderModule lumoscapeAvifModule;
extern "C" const FormatReaderModule lumoscapeJxlModule;
extern "C" const SdlImageModule lumoscapeSdlImageModule;
extern "C" const FormatReaderModule lumoscapeJp2Module;
extern "C" const FormatReaderModule lumoscapeSvgModule;

/// The module's table (a ColourModule, FormatReaderModule or SdlImageModule). Where modules may
/// still be loaded it is loaded now; a locked-down worker without it ends asking for it. Null, with
/// SDL's error, when it cannot be loaded.
const void *formatModule(FormatModule which);
/// Loads a module and sets its library up (HEIF's, AVIF's and JPEG XL's take the colour module
/// too);
/// false, with SDL's error, when it cannot be loaded.
bool loadFormatModule(FormatModule which);
/// Whether the module is in this process already.
bool formatModuleLoaded(FormatModule which);
/// From here on no module is loaded in this process: one it lacks ends it, asking for it.
void stopLoadingModules();
/// Lets the workers forked from here on read files beneath `folder` (where a module's library
/// finds its fonts), where the kernel can keep them to such folders; defined by the sandbox.
void allowReadingBeneath(const char *folder);
/// Whether files beneath those folders may be opened here: everywhere but in a worker that
/// the kernel cannot keep to them, whose filter refuses every opening.
bool allowedFoldersReadable();
