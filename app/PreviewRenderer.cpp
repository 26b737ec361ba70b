#include "app/PreviewRenderer.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "adjust/FusedPass.h"
#include "app/PreviewStretch.h"
#include "parallel/ParallelFor.h"

Histogram CountLevels(const QImage& picture, const QRect& area) {
    Histogram counts;
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    const QRect inside = area.intersected(rgb.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const int r = qRed(row[x]), g = qGreen(row[x]), b = qBlue(row[x]);
            ++counts.red[r];
            ++counts.green[g];
            ++counts.blue[b];
            ++counts.luminance[(299 * r + 587 * g + 114 * b + 500) / 1000];
        }
    }
    return counts;
}

namespace {

enum class Outcome { Done, Stopped, ShortOfMemory };

// What a picture reads: without a plan, the photo as loaded.
bool ChooseInput(const PreviewRequest& request, bool useProxy, PassInput& input) {
    if (request.plan) return ChoosePassInput(*request.plan, *request.photo, useProxy, &input);
    input.pixels = useProxy ? &request.photo->Proxy() : &request.photo->Pixels();
    return true;
}

// Display colours kept from picture to picture: those of a whole photo are large, and making
// them anew (zeroed, page by page) would cost a picture's time again.
struct Scratch {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    uint8_t* data() const { return bytes.get(); }
};

// The display colours of part of the input, row by row into rows (width * 3 bytes each), which
// grows to hold them.
Outcome RenderPart(const PassInput& input, const QRect& part, Scratch& rows,
                   const std::function<bool()>& stop) {
    const size_t stride = static_cast<size_t>(part.width()) * 3;
    const size_t bytes = stride * static_cast<size_t>(part.height());
    if (bytes > rows.size) {
        rows.bytes.reset();
        rows.bytes.reset(new (std::nothrow) uint8_t[bytes]);
        rows.size = rows.bytes ? bytes : 0;
        if (!rows.bytes) return Outcome::ShortOfMemory;
    }
    std::atomic<int> outcome = static_cast<int>(Outcome::Done);
    ParallelFor(static_cast<uint32_t>(part.height()), [&](uint32_t first, uint32_t count) {
        for (uint32_t y = first; y < first + count; ++y) {
            if (outcome.load(std::memory_order_relaxed) != static_cast<int>(Outcome::Done)) return;
            if (stop()) {
                outcome = static_cast<int>(Outcome::Stopped);
                return;
            }
            if (!RenderDisplayRow(*input.pixels, input.stages, part.left(),
                                  part.top() + static_cast<int32_t>(y), part.width(),
                                  rows.data() + stride * y))
                outcome = static_cast<int>(Outcome::ShortOfMemory);
        }
    });
    return static_cast<Outcome>(outcome.load());
}

BgrRows RowsOf(const Scratch& rows, const QRect& part) {
    return BgrRows{rows.data(), static_cast<ptrdiff_t>(part.width()) * 3};
}

// From 1 up: each picture pixel left of width takes the photo pixel under its top-left corner.
void Enlarge(const Scratch& rows, const QRect& part, const PreviewRequest& request, int width,
             QImage& picture) {
    std::vector<int32_t> columns(static_cast<size_t>(width), -1);
    for (int x = 0; x < width; ++x) {
        const auto sx = static_cast<int64_t>(std::floor(request.left + x / request.zoom));
        if (sx >= part.left() && sx <= part.right()) columns[x] = static_cast<int32_t>(sx);
    }
    const size_t stride = static_cast<size_t>(part.width()) * 3;
    ParallelFor(static_cast<uint32_t>(picture.height()), [&](uint32_t first, uint32_t count) {
        for (uint32_t y = first; y < first + count; ++y) {
            const auto sy = static_cast<int64_t>(std::floor(request.top + y / request.zoom));
            if (sy < part.top() || sy > part.bottom()) continue;
            const uint8_t* row = rows.data() + stride * static_cast<size_t>(sy - part.top());
            auto* line = reinterpret_cast<QRgb*>(picture.scanLine(static_cast<int>(y)));
            for (int x = 0; x < width; ++x) {
                if (columns[x] < 0) continue;
                const uint8_t* bgr = row + static_cast<size_t>(columns[x] - part.left()) * 3;
                line[x] = qRgb(bgr[2], bgr[1], bgr[0]);
            }
        }
    });
}

// The photo pixels a zoomed picture covers, and (below 1) the picture rectangle they fill.
QRect ZoomedPart(const PreviewRequest& request, const C_ImgBuff& photo, QRect* dest) {
    const double right = request.left + request.size.width() / request.zoom;
    const double bottom = request.top + request.size.height() / request.zoom;
    const auto x0 = static_cast<int32_t>(std::max(0.0, std::floor(request.left)));
    const auto y0 = static_cast<int32_t>(std::max(0.0, std::floor(request.top)));
    const auto x1 = static_cast<int32_t>(std::min<double>(photo.width, std::ceil(right)));
    const auto y1 = static_cast<int32_t>(std::min<double>(photo.height, std::ceil(bottom)));
    if (x1 <= x0 || y1 <= y0) return QRect();
    auto at = [&](double photoCoordinate, double origin) {
        return static_cast<int>(std::lround((photoCoordinate - origin) * request.zoom));
    };
    *dest = QRect(QPoint(at(x0, request.left), at(y0, request.top)),
                  QPoint(at(x1, request.left) - 1, at(y1, request.top) - 1))
                .intersected(QRect(QPoint(0, 0), request.size));
    return QRect(QPoint(x0, y0), QPoint(x1 - 1, y1 - 1));
}

// Draws the picture request asks for into picture: only its columns left of columns, and only
// the photo pixels they show, when columns is less than the picture's width.
Outcome Draw(const PreviewRequest& request, bool useProxy, QImage& picture, Scratch& rows,
             const std::function<bool()>& stop, int columns) {
    PassInput input;
    if (!ChooseInput(request, useProxy, input)) return Outcome::ShortOfMemory;
    const C_ImgBuff& pixels = *input.pixels;
    QRect part(0, 0, pixels.width, pixels.height);
    QRect dest = request.fitted;
    if (request.zoom > 0) part = ZoomedPart(request, pixels, &dest);
    columns = std::min(columns, picture.width());
    const int wanted = std::clamp(columns - dest.left(), 0, dest.width());
    QRect made = part;
    if (request.zoom >= 1) {
        made.setRight(std::min<double>(part.right(),
                                       std::floor(request.left + (columns - 1) / request.zoom)));
    } else {
        made.setWidth(StretchSourceColumns(part.width(), dest.width(), wanted));
    }
    if (made.isEmpty() || dest.isEmpty()) return Outcome::Done;
    if (const Outcome rendered = RenderPart(input, made, rows, stop); rendered != Outcome::Done)
        return rendered;
    // Into the screen's colours where the photo has the fewer pixels: before it is enlarged or
    // shrunk, or after it is shrunk; the white around it is the screen's own.
    const DisplayColour* colour = request.colour.get();
    const bool before = request.zoom >= 1 || int64_t(part.width()) * part.height() <=
                                                 int64_t(dest.width()) * dest.height();
    if (colour && before)
        colour->Convert(rows.data(), made.width() * 3u, made.width(), made.height(), 3);
    if (request.zoom >= 1) {
        Enlarge(rows, made, request, columns, picture);
        return Outcome::Done;
    }
    if (!StretchAveraged(RowsOf(rows, made), part.width(), part.height(), &picture, dest, stop,
                         wanted))
        return Outcome::Stopped;
    dest.setWidth(wanted);
    dest &= picture.rect();
    if (colour && !before && !dest.isEmpty())
        colour->Convert(picture.scanLine(dest.top()) + dest.left() * 4,
                        static_cast<size_t>(picture.bytesPerLine()), dest.width(), dest.height(),
                        4);
    return Outcome::Done;
}

}  // namespace

std::optional<RenderedPreview> RenderPreview(const PreviewRequest& request, bool useProxy,
                                             const std::function<bool()>& stop,
                                             bool* shortOfMemory) {
    thread_local Scratch rows;
    RenderedPreview out;
    out.sharp = !useProxy;
    out.picture = QImage(request.size, QImage::Format_RGB32);
    Outcome outcome = out.picture.isNull() ? Outcome::ShortOfMemory : Outcome::Done;
    if (outcome == Outcome::Done) {
        out.picture.fill(Qt::white);
        outcome = Draw(request, useProxy, out.picture, rows, stop, out.picture.width());
    }
    if (outcome == Outcome::Done && request.histogram) {
        if (request.zoom == 0) {
            out.levels = CountLevels(out.picture, request.area.intersected(request.fitted));
        } else {
            // Zoomed in, the levels are those of the whole photo, read from its proxy.
            const C_ImgBuff& proxy = request.photo->Proxy();
            PreviewRequest whole = request;
            whole.zoom = 0;
            whole.size = QSize(proxy.width, proxy.height);
            whole.fitted = QRect(QPoint(0, 0), whole.size);
            QImage levels(whole.size, QImage::Format_RGB32);
            outcome = levels.isNull() ? Outcome::ShortOfMemory
                                      : Draw(whole, true, levels, rows, stop, levels.width());
            if (outcome == Outcome::Done) out.levels = CountLevels(levels, levels.rect());
        }
    }
    // Split, the photo as loaded is drawn over the left columns, which it covers as the
    // corrected one does; the levels stay those of the corrected photo.
    if (outcome == Outcome::Done && request.splitAt > 0 && request.plan) {
        PreviewRequest original = request;
        original.plan = nullptr;
        outcome = Draw(original, useProxy, out.picture, rows, stop, request.splitAt);
    }
    if (shortOfMemory) *shortOfMemory = outcome == Outcome::ShortOfMemory;
    if (outcome != Outcome::Done) return std::nullopt;
    return out;
}

PreviewRenderer::PreviewRenderer(std::function<void(RenderedPreview)> deliverPicture)
    : deliver(std::move(deliverPicture)), thread([this] { Loop(); }) {}

PreviewRenderer::~PreviewRenderer() {
    {
        std::lock_guard<std::mutex> guard(lock);
        quit = true;
        latest = 0;
    }
    wake.notify_one();
    thread.join();
}

uint64_t PreviewRenderer::Request(PreviewRequest request) {
    uint64_t serial;
    {
        std::lock_guard<std::mutex> guard(lock);
        serial = ++pendingSerial;
        pending = std::move(request);
        // Tells the picture in progress to stop.
        latest = serial;
    }
    wake.notify_one();
    return serial;
}

bool PreviewRenderer::Busy() const {
    std::lock_guard<std::mutex> guard(lock);
    return working || pending.has_value();
}

void PreviewRenderer::Loop() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        wake.wait(guard, [this] { return quit || pending.has_value(); });
        if (quit) return;
        const PreviewRequest request = std::move(*pending);
        const uint64_t serial = pendingSerial;
        pending.reset();
        working = true;
        guard.unlock();
        const auto stop = [this, serial] { return latest.load() != serial; };
        for (bool useProxy : {true, false}) {
            if (useProxy ? !request.proxy : request.proxy && !request.sharpAfter) continue;
            std::optional<RenderedPreview> picture = RenderPreview(request, useProxy, stop);
            if (!picture || stop()) break;
            picture->serial = serial;
            deliver(std::move(*picture));
        }
        guard.lock();
        working = false;
    }
}
