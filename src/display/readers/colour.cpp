// Colours as the file means them: the readers' way to the colour module, which is loaded only
// for a picture whose file describes its colours.
#include "format_modules.h"
#include "colour.h"

namespace {

bool describesColours(const ColourDescription &colours) {
    return (colours.icc && colours.iccSize) || colours.gamma > 0 || colours.primaries ||
           colours.transfer;
}

const ColourModule *colourModule() {
    return static_cast<const ColourModule *>(formatModule(kColourModule));
}

}  // namespace

void convertToSrgb(SDL_Surface *picture, const ColourDescription &colours,
                   const DecodeOptions &options) {
    if (!picture || options.rawColours || !describesColours(colours)) return;
    // Without its module a picture shows as stored.
    if (const ColourModule *module = colourModule())
        module->convertToSrgb(picture, colours, options);
}

void *startCmykConversion(const ColourDescription &colours, const DecodeOptions &options,
                          bool inverted) {
    if (options.rawColours || !colours.icc || !colours.iccSize) return nullptr;
    const ColourModule *module = colourModule();
    return module ? module->startCmykConversion(colours, options, inverted) : nullptr;
}

void convertCmykRow(void *conversion, unsigned char *pixels, int width) {
    // Only a conversion the module made comes here.
    colourModule()->convertCmykRow(conversion, pixels, width);
}

void stopCmykConversion(void *conversion) {
    if (conversion) colourModule()->stopCmykConversion(conversion);
}
