#include "imageio/JpegEncoder.h"

#include <QByteArray>

#include <algorithm>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include <jpeglib.h>
// After jpeglib.h, which it builds on.
#include <jerror.h>

#include "imageio/JpegErrors.h"

namespace {

constexpr uint32_t kBandRows = kJpegBandRows;
// One band is encoded while the next is made; the third lets the maker run ahead over a moment
// when a busy machine holds one thread back.
constexpr uint32_t kSlots = 3;

// The hand-over of bands between the thread that makes them and the one that encodes them.
class BandQueue {
  public:
    // Waits until band's slot is free; false when the encoding has been given up.
    bool WaitToMake(uint32_t band) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return cancelled_ || band < encoded_ + kSlots; });
        return !cancelled_;
    }
    void Made() { Advance(&made_); }
    // The maker gave up: no band comes any more.
    void Fail() {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
        changed_.notify_all();
    }
    // Waits until band is made; false when it never will be.
    bool WaitMade(uint32_t band) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return failed_ || band < made_; });
        return band < made_;
    }
    void Encoded() { Advance(&encoded_); }
    void Cancel() {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }

  private:
    void Advance(uint32_t* count) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++*count;
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    uint32_t made_ = 0;
    uint32_t encoded_ = 0;
    bool cancelled_ = false;
    bool failed_ = false;
};

// The encoded bytes go straight into the caller's QByteArray, which grows as needed.
struct Destination {
    jpeg_destination_mgr manager;  // first, so that cinfo->dest leads back here
    QByteArray* out;
};

bool Resize(QByteArray* out, qsizetype size) noexcept {
    return GrowEncoderOutput([&] { out->resize(size); });
}

void PointAtFreeSpace(jpeg_destination_mgr* manager, QByteArray* out, qsizetype used) {
    manager->next_output_byte = reinterpret_cast<JOCTET*>(out->data()) + used;
    manager->free_in_buffer = static_cast<size_t>(out->size() - used);
}

void InitDestination(j_compress_ptr cinfo) {
    auto* destination = reinterpret_cast<Destination*>(cinfo->dest);
    if (!Resize(destination->out, 65536)) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    PointAtFreeSpace(cinfo->dest, destination->out, 0);
}

// Called with the whole buffer filled.
boolean GrowDestination(j_compress_ptr cinfo) {
    auto* destination = reinterpret_cast<Destination*>(cinfo->dest);
    const qsizetype used = destination->out->size();
    if (!Resize(destination->out, used * 2)) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    PointAtFreeSpace(cinfo->dest, destination->out, used);
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    auto* destination = reinterpret_cast<Destination*>(cinfo->dest);
    destination->out->resize(destination->out->size() -
                             static_cast<qsizetype>(cinfo->dest->free_in_buffer));
}

// JFIF's units: 1 dots per inch, 2 per centimetre.
void SetDensity(const JpegPicture& picture, jpeg_compress_struct* cinfo) {
    const WholeDensity density = ToWholeDensity(picture.dotsPerMeterX, picture.dotsPerMeterY);
    cinfo->density_unit = density.perInch ? 1 : 2;
    cinfo->X_density = static_cast<UINT16>(density.x);
    cinfo->Y_density = static_cast<UINT16>(density.y);
}

// Everything one encoding holds. It lives outside Compress, which libjpeg may leave through
// longjmp at any of its calls.
struct Encoding {
    jpeg_compress_struct cinfo;
    JpegErrors errors;
    Destination destination;
    const JpegPicture* picture;
    const MakeJpegRows* makeRows;
    BandQueue bands;
    uint8_t* buffers[kSlots];
    size_t stride;
    bool makeHere;  // no thread of its own could be started: bands are made before encoding
    bool rowsFailed = false;       // makeRows stopped the encoding
    bool rowsOutOfMemory = false;  // ... by throwing std::bad_alloc
};

uint32_t BandCount(const JpegPicture& picture) {
    return (static_cast<uint32_t>(picture.height) + kBandRows - 1) / kBandRows;
}

uint32_t BandHeight(const JpegPicture& picture, uint32_t band) {
    return std::min(kBandRows, static_cast<uint32_t>(picture.height) - band * kBandRows);
}

// A maker that runs out of memory stops the encoding as one that fails; its exception must not
// leave its thread, nor Compress past libjpeg's state.
bool MakeBand(Encoding& e, uint32_t band) noexcept {
    try {
        return (*e.makeRows)(band * kBandRows, BandHeight(*e.picture, band),
                             e.buffers[band % kSlots], e.stride);
    } catch (const std::bad_alloc&) {
        e.rowsOutOfMemory = true;
        return false;
    }
}

void MakeBands(Encoding* e) {
    const uint32_t bands = BandCount(*e->picture);
    for (uint32_t band = 0; band < bands; ++band) {
        if (!e->bands.WaitToMake(band)) return;
        if (!MakeBand(*e, band)) return e->bands.Fail();
        e->bands.Made();
    }
}

// libjpeg leaves through longjmp on any error, so nothing here may hold a resource or need a
// destructor across a libjpeg call.
int Compress(Encoding& e) {
    jpeg_compress_struct* cinfo = &e.cinfo;
    if (setjmp(e.errors.jump)) return 0;
    jpeg_create_compress(cinfo);
    cinfo->dest = &e.destination.manager;
    cinfo->image_width = static_cast<JDIMENSION>(e.picture->width);
    cinfo->image_height = static_cast<JDIMENSION>(e.picture->height);
    cinfo->input_components = e.picture->grey ? 1 : 3;
    cinfo->in_color_space = e.picture->grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(cinfo);
    SetDensity(*e.picture, cinfo);
    jpeg_set_quality(cinfo,
                     e.picture->quality >= 0 ? std::min(e.picture->quality, kHighestJpegQuality)
                                             : kDefaultJpegQuality,
                     TRUE);
    jpeg_start_compress(cinfo, TRUE);
    const uint32_t bands = BandCount(*e.picture);
    for (uint32_t band = 0; band < bands; ++band) {
        if (e.makeHere ? !MakeBand(e, band) : !e.bands.WaitMade(band)) {
            e.rowsFailed = true;
            return 0;
        }
        JSAMPROW rows[kBandRows];
        const uint32_t height = BandHeight(*e.picture, band);
        for (uint32_t i = 0; i < height; ++i) rows[i] = e.buffers[band % kSlots] + i * e.stride;
        // The destination never suspends, so libjpeg takes every row.
        jpeg_write_scanlines(cinfo, rows, height);
        e.bands.Encoded();
    }
    jpeg_finish_compress(cinfo);
    return 1;
}

}  // namespace

int EncodeJpeg(const JpegPicture& picture, const MakeJpegRows& makeRows, QByteArray* encoded,
               PhotoError* error) {
    auto e = std::make_unique<Encoding>();
    e->cinfo.err = UseJpegErrors(&e->errors);
    e->destination.manager.init_destination = InitDestination;
    e->destination.manager.empty_output_buffer = GrowDestination;
    e->destination.manager.term_destination = TermDestination;
    e->destination.out = encoded;
    e->picture = &picture;
    e->makeRows = &makeRows;
    e->stride = static_cast<size_t>(std::max(picture.width, 0)) * (picture.grey ? 1 : 3);
    // A picture lower than a band needs no more than its own rows.
    const size_t bandBytes = std::min<size_t>(kBandRows, std::max(picture.height, 0)) * e->stride;
    const std::unique_ptr<uint8_t[]> buffers(new (std::nothrow) uint8_t[kSlots * bandBytes]);
    if (!buffers) {
        SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory");
        return 0;
    }
    for (uint32_t i = 0; i < kSlots; ++i) e->buffers[i] = buffers.get() + i * bandBytes;

    std::thread maker;
    if (picture.width > 0 && picture.height > 0) {
        try {
            maker = std::thread(MakeBands, e.get());
        } catch (const std::system_error&) {
            // Without a second thread the bands are made in turn with the encoding.
        }
    }
    e->makeHere = !maker.joinable();
    const int compressed = Compress(*e);
    e->bands.Cancel();
    if (maker.joinable()) maker.join();
    if (e->rowsOutOfMemory)
        SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory");
    if (!compressed && !e->rowsFailed) {
        char message[JMSG_LENGTH_MAX];
        e->errors.manager.format_message(reinterpret_cast<j_common_ptr>(&e->cinfo), message);
        if (e->errors.manager.msg_code == JERR_OUT_OF_MEMORY) {
            SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory");
        } else {
            SetPhotoError(error, PhotoFailure::SystemError,
                          std::string("could not be encoded: ") + message);
        }
    }
    jpeg_destroy_compress(&e->cinfo);
    return compressed;
}
