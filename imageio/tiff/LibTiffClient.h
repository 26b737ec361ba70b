// libtiff handles on files the caller reads or writes itself, through its own procedures.
#pragma once

#include <tiffio.h>

#include <memory>
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

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;
