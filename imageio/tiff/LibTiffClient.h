// libtiff handles on files the caller reads or writes itself, through its own procedures.
#pragma once

#include <tiffio.h>

#include <memory>
#include <mutex>
#include <string>

struct TiffClientProcs {
    TIFFReadWriteProc read;
    TIFFReadWriteProc write;
    TIFFSeekProc seek;
    TIFFCloseProc close;
    TIFFSizeProc size;
    TIFFMapFileProc map;
    TIFFUnmapFileProc unmap;
};

// Opens file in mode ("r" or "w") through procs. libtiff's first error goes to reason (later ones
// follow from it), warnings are ignored, and nothing is printed. Null on failure, with reason set.
TIFF* OpenTiffClient(const char* mode, thandle_t file, const TiffClientProcs& procs,
                     std::string* reason);

// The first reason any of the pool's workers gave for failing (the later ones follow from it or
// repeat it). Read once the pool's run is over.
class FirstFailure {
  public:
    void Record(std::string reason) {
        const std::lock_guard lock(mutex_);
        if (failed_) return;
        reason_ = std::move(reason);
        failed_ = true;
    }
    bool Failed() const { return failed_; }
    const std::string& Reason() const { return reason_; }

  private:
    std::mutex mutex_;
    std::string reason_;
    bool failed_ = false;
};

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;
