// From a slider event to the painted preview, in the main window on the offscreen platform,
// for a 6000 x 4000 photo with every stage on: the thumb's release (the sharp fitted picture),
// one drag step (the proxy), a drag step at 100 %, a grab 5 ms after a release, and a zoom step.
// Each iteration moves the slider (or the zoom) and runs the window's event loop until the
// renderer's picture for it is shown and painted, so the time covers the update, the render on
// the renderer's thread, the hand-over and the drawing. The longest the event loop was held by
// any one step is reported as longest_stall_ms. The drag step is timed again with the picture
// converted from an Adobe RGB profile to the screen's sRGB, and the conversion alone on the fitted
// picture.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/LumivexDlgTesting.h"
#include "app/PreviewStretch.h"
#include "app/WindowServices.h"
#include "app/display/DisplayColour.h"
#include "bench/BenchPhotos.h"

namespace {

class OnePhotoPrompts : public UserPrompts {
  public:
    int RunFileDialog(QWidget*, const FileDialogRequest&, std::string* out) override {
        *out = path;
        return 1;
    }
    void ShowMessage(QWidget*, const char*) override {}
    SaveChangesAnswer AskToSaveChanges(QWidget*) override { return SaveChangesAnswer::Discard; }
    int ChooseApplyToMany(QWidget*, const FileDialogRequest&, ApplyToManyRequest*) override {
        return 0;
    }
    bool AskToReplace(QWidget*, const char*) override { return false; }
    std::string path;
};

struct Window {
    Window() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // The window's remembered size goes to a folder of the run's own.
        qputenv("XDG_CONFIG_HOME", folder.path().toUtf8());
        static int argc = 1;
        static char name[] = "window_preview_bench";
        static char* argv[] = {name, nullptr};
        application = std::make_unique<QApplication>(argc, argv);
        InstallDialogFontSubstitution();

        QImage photo(6000, 4000, QImage::Format_RGB32);
        for (int y = 0; y < photo.height(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(photo.scanLine(y));
            for (int x = 0; x < photo.width(); ++x) {
                row[x] = qRgb((x / 24 + y / 40) % 256, (x * 7 / 60 + (x ^ y) % 31) % 256,
                              (y * 255 / 4000 + x % 17) % 256);
            }
        }
        prompts.path = folder.filePath(QStringLiteral("photo.jpg")).toStdString();
        photo.save(QString::fromStdString(prompts.path), "JPEG", 90);

        dialog = std::make_unique<CLumivexDlgTesting>(&prompts);
        // A window filling a 1920 x 1080 screen.
        dialog->resize(1920, 1080);
        dialog->show();
        QCoreApplication::processEvents();
        dialog->OnOpenPhoto();
        // Every stage on: automatic white balance, both tone sliders, both lights and a band.
        dialog->engine.SetWhiteBalanceMode(WhiteBalanceMode::Automatic);
        for (const auto& [slider, position] : {std::pair{dialog->brightnessSlider, 20},
                                               {dialog->addLightSlider, 30},
                                               {dialog->suppressLightSlider, 30},
                                               {dialog->bandVividnessSlider, 15}}) {
            slider->SetPos(position);
            dialog->OnHScroll(kScrollThumbPosition, slider);
        }
    }

    QTemporaryDir folder;
    OnePhotoPrompts prompts;
    std::unique_ptr<QApplication> application;
    std::unique_ptr<CLumivexDlgTesting> dialog;
};

Window& TheWindow() {
    static Window window;
    return window;
}

// Runs the window's event loop until the newest request's picture (the sharp one when asked)
// is shown and painted; returns the longest single turn of the loop, in milliseconds.
double WaitForPicture(CLumivexDlgTesting& dialog, bool sharp) {
    double longest = 0;
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        longest = std::max(longest, std::chrono::duration<double, std::milli>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
        if (dialog.shownPreview && !dialog.renderer->Busy() &&
            (dialog.shownPreview->sharp || !sharp))
            break;
        // The renderer's threads get the processors while the window waits for the picture.
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return longest;
}

// Moves the slider once per iteration (code: a drag step or a release) and waits for the
// picture; after is waited after each step before the timing stops.
void MoveAndPaint(benchmark::State& state, int code, double zoom = 0) {
    Window& window = TheWindow();
    CLumivexDlgTesting& dialog = *window.dialog;
    dialog.previewFrame->SetZoom(zoom);
    WaitForPicture(dialog, true);
    TrackBar* slider = dialog.vividnessSlider;
    int32_t position = 10;
    double stall = 0;
    for (auto _ : state) {
        position = position == 10 ? 11 : 10;
        slider->SetPos(position);
        const auto start = std::chrono::steady_clock::now();
        dialog.OnHScroll(code, slider);
        stall = std::max(stall, std::chrono::duration<double, std::milli>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
        stall = std::max(stall, WaitForPicture(dialog, code != kScrollThumbTrack));
    }
    state.counters["longest_stall_ms"] = stall;
    // Leave the sharp fitted picture in place for the next benchmark.
    dialog.OnHScroll(kScrollThumbPosition, slider);
    dialog.previewFrame->SetZoom(0);
    WaitForPicture(dialog, true);
}

void BM_ReleaseToPaintedFullPreview(benchmark::State& state) {
    MoveAndPaint(state, kScrollThumbPosition);
}

void BM_DragStepToPaintedProxyPreview(benchmark::State& state) {
    MoveAndPaint(state, kScrollThumbTrack);
}

// A drag step at 100 %: the part on screen comes from the full-resolution photo.
void BM_DragStepToPaintedActualSizePreview(benchmark::State& state) {
    MoveAndPaint(state, kScrollThumbTrack, 1.0);
}

// The thumb grabbed again 5 ms after a release: the time from the grab's first step to its
// picture, while the release's sharp picture is superseded.
void BM_GrabAgainAfterReleaseToDragPicture(benchmark::State& state) {
    CLumivexDlgTesting& dialog = *TheWindow().dialog;
    TrackBar* slider = dialog.vividnessSlider;
    int32_t position = 10;
    double stall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        position = position == 10 ? 11 : 10;
        slider->SetPos(position);
        dialog.OnHScroll(kScrollThumbPosition, slider);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        slider->SetPos(position + 2);
        state.ResumeTiming();
        dialog.OnHScroll(kScrollThumbTrack, slider);
        stall = std::max(stall, WaitForPicture(dialog, false));
    }
    state.counters["longest_stall_ms"] = stall;
    dialog.OnHScroll(kScrollThumbPosition, slider);
    WaitForPicture(dialog, true);
}

// Ctrl + wheel from 100 % to 200 % (and back, untimed) to the painted picture.
void BM_ZoomStepToPaintedPreview(benchmark::State& state) {
    CLumivexDlgTesting& dialog = *TheWindow().dialog;
    CPreviewFrame& frame = *dialog.previewFrame;
    const QPointF centre(frame.width() / 2.0, frame.height() / 2.0);
    double stall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        frame.SetZoom(1.0, centre);
        WaitForPicture(dialog, true);
        state.ResumeTiming();
        frame.wheelZoom(true, centre);
        stall = std::max(stall, WaitForPicture(dialog, true));
    }
    state.counters["longest_stall_ms"] = stall;
    frame.SetZoom(0);
    WaitForPicture(dialog, true);
}

// An Adobe RGB photo on an sRGB screen, from the profile Debian's icc-profiles-free ships.
std::shared_ptr<const DisplayColour> AdobeRgbToScreen() {
    QFile file(QStringLiteral("/usr/share/color/icc/compatibleWithAdobeRGB1998.icc"));
    const QByteArray profile = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    ColourProblem problem;
    return DisplayColour::Make(
        {reinterpret_cast<const uint8_t*>(profile.constData()), size_t(profile.size())}, {},
        &problem);
}

// A drag step as above, the picture converted to the screen's colours.
void BM_DragStepToPaintedProxyPreviewInScreenColours(benchmark::State& state) {
    CLumivexDlgTesting& dialog = *TheWindow().dialog;
    dialog.screenColour = AdobeRgbToScreen();
    if (!dialog.screenColour) return state.SkipWithError("no Adobe RGB profile");
    MoveAndPaint(state, kScrollThumbTrack);
    dialog.screenColour.reset();
}

// The conversion's share of a picture: the fitted preview picture into the screen's colours.
void BM_ConvertPreviewToScreenColours(benchmark::State& state) {
    CLumivexDlgTesting& dialog = *TheWindow().dialog;
    WaitForPicture(dialog, true);
    const QImage shown = dialog.shownPreview->picture;
    const std::shared_ptr<const DisplayColour> colour = AdobeRgbToScreen();
    if (!colour) return state.SkipWithError("no Adobe RGB profile");
    QImage picture(shown.size(), shown.format());
    for (auto _ : state) {
        // A fresh copy each time: a real frame is never converted twice.
        state.PauseTiming();
        std::memcpy(picture.bits(), shown.constBits(), size_t(shown.sizeInBytes()));
        state.ResumeTiming();
        colour->Convert(picture.bits(), size_t(picture.bytesPerLine()), picture.width(),
                        picture.height(), 4);
    }
    state.counters["pixels"] = picture.width() * picture.height();
}

// The preview's share of a release: the full-size display colours averaged into the frame.
void BM_StretchFullBitmapIntoPreview(benchmark::State& state) {
    CLumivexDlgTesting& dialog = *TheWindow().dialog;
    WaitForPicture(dialog, true);
    const SourcePhoto& photo = *dialog.engine.photo;
    std::vector<uint8_t> bgr(size_t(photo.Width()) * photo.Height() * 3);
    const BgrRows rows{bgr.data(), photo.Width() * 3};
    CImgBuff result;
    ApplyAdjustments(*dialog.engine.Plan(), photo, false, result.buffer, &rows);
    const Rect& fitted = dialog.previewFrame->Geometry().imageRect;
    const QRect dest(fitted.left, fitted.top, fitted.right - fitted.left + 1,
                     fitted.bottom - fitted.top + 1);
    QImage picture(dialog.previewFrame->size(), QImage::Format_RGB32);
    for (auto _ : state) {
        benchmark::DoNotOptimize(StretchAveraged(rows, photo.Width(), photo.Height(), &picture,
                                                 dest, [] { return false; }));
    }
}

// The histogram's share of a picture: the levels of the fitted preview picture.
void BM_CountPreviewLevels(benchmark::State& state) {
    CLumivexDlgTesting& dialog = *TheWindow().dialog;
    WaitForPicture(dialog, true);
    const QImage picture = dialog.shownPreview->picture;
    for (auto _ : state) benchmark::DoNotOptimize(CountLevels(picture, picture.rect()));
}

BENCHMARK(BM_CountPreviewLevels)->Apply(WallAndProcessCpu);
BENCHMARK(BM_StretchFullBitmapIntoPreview)->Apply(WallAndProcessCpu);
BENCHMARK(BM_ReleaseToPaintedFullPreview)->Apply(WallAndProcessCpu);
BENCHMARK(BM_DragStepToPaintedProxyPreview)->Apply(WallAndProcessCpu);
BENCHMARK(BM_DragStepToPaintedProxyPreviewInScreenColours)->Apply(WallAndProcessCpu);
BENCHMARK(BM_ConvertPreviewToScreenColours)->Apply(WallAndProcessCpu);
BENCHMARK(BM_DragStepToPaintedActualSizePreview)->Apply(WallAndProcessCpu);
BENCHMARK(BM_GrabAgainAfterReleaseToDragPicture)->Apply(WallAndProcessCpu);
BENCHMARK(BM_ZoomStepToPaintedPreview)->Apply(WallAndProcessCpu);

}  // namespace
