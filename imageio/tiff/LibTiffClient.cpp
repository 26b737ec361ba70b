#include "imageio/tiff/LibTiffClient.h"

#include <cstdarg>
#include <cstdio>

namespace {

int CollectError(TIFF*, void* reason, const char*, const char* format, va_list arguments) {
    auto* text = static_cast<std::string*>(reason);
    if (text->empty()) {
        char message[512];
        std::vsnprintf(message, sizeof message, format, arguments);
        *text = message;
    }
    return 1;
}

int IgnoreWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct OptionsDeleter {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

}  // namespace

TIFF* OpenTiffClient(const char* mode, thandle_t file, const TiffClientProcs& procs,
                     std::string* reason) {
    const std::unique_ptr<TIFFOpenOptions, OptionsDeleter> options(TIFFOpenOptionsAlloc());
    if (!options) {
        *reason = "not enough memory";
        return nullptr;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), CollectError, reason);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), IgnoreWarning, nullptr);
    return TIFFClientOpenExt("photo", mode, file, procs.read, procs.write, procs.seek, procs.close,
                             procs.size, procs.map, procs.unmap, options.get());
}
