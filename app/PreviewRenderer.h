// Rendering the preview off the window's thread. A request names the photo, the plan, and the
// part of the photo the frame shows at what scale; the renderer's thread makes the frame's
// picture from it on the worker pool and hands it back. The newest request supersedes every
// older one: one not yet started is dropped, and one in progress stops at its next row and
// delivers nothing.
#pragma once

#include <QImage>
#include <QRect>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "adjust/Pipeline.h"
#include "app/display/DisplayColour.h"

// How many pixels of a picture have each level of red, green, blue and luminance
// ((299 R + 587 G + 114 B + 500) / 1000).
struct Histogram {
    std::array<uint32_t, 256> red{};
    std::array<uint32_t, 256> green{};
    std::array<uint32_t, 256> blue{};
    std::array<uint32_t, 256> luminance{};
    bool operator==(const Histogram&) const = default;
};

Histogram CountLevels(const QImage& picture, const QRect& area);

struct PreviewRequest {
    std::shared_ptr<const SourcePhoto> photo;
    std::shared_ptr<const CorrectionPlan> plan;  // null: the photo as loaded
    // From the photo's colour profile to the screen's, for the picture and its levels; null: the
    // display colours as they are.
    std::shared_ptr<const DisplayColour> colour;
    QSize size;  // the picture, in device pixels
    // 0: the whole photo averaged into fitted. Otherwise picture pixels per photo pixel: picture
    // pixel (x, y) shows photo pixel (floor(left + x / zoom), floor(top + y / zoom)), averaged
    // over the photo pixels it covers below 1 and repeated unfiltered from 1 up.
    double zoom = 0;
    QRect fitted;
    double left = 0;
    double top = 0;
    // A fitted picture from the quarter-size proxy, for a thumb being dragged; then, unless
    // sharpAfter is false or a newer request came, the sharp one from the photo itself.
    bool proxy = false;
    bool sharpAfter = false;
    // The levels of the whole photo as corrected: of the fitted picture inside area, or of the
    // proxy when zoomed in.
    bool histogram = false;
    QRect area;
    // Above 0: the picture's columns left of it show the photo as loaded, for comparing.
    int splitAt = 0;
};

struct RenderedPreview {
    uint64_t serial = 0;  // of the request it answers
    QImage picture;       // white where the photo is not
    bool sharp = false;   // from the photo itself, not the proxy
    std::optional<Histogram> levels;
};

// The picture request asks for; nullopt when stop() said stop or memory ran short (shortOfMemory
// then set, when given).
std::optional<RenderedPreview> RenderPreview(const PreviewRequest& request, bool useProxy,
                                             const std::function<bool()>& stop,
                                             bool* shortOfMemory = nullptr);

class PreviewRenderer {
  public:
    // deliver is called on the renderer's thread with each finished picture, in order.
    explicit PreviewRenderer(std::function<void(RenderedPreview)> deliver);
    // Stops the picture in progress and waits for the thread.
    ~PreviewRenderer();
    PreviewRenderer(const PreviewRenderer&) = delete;
    PreviewRenderer& operator=(const PreviewRenderer&) = delete;

    // Supersedes every earlier request; returns the serial its pictures will carry.
    uint64_t Request(PreviewRequest request);
    // Whether the thread is working on a request or has one waiting.
    bool Busy() const;

  private:
    void Loop();

    const std::function<void(RenderedPreview)> deliver;
    mutable std::mutex lock;
    std::condition_variable wake;
    std::optional<PreviewRequest> pending;
    uint64_t pendingSerial = 0;
    bool working = false;
    bool quit = false;
    std::atomic<uint64_t> latest = 0;  // the serial of the newest request
    EngineReference engine;
    std::thread thread;
};
