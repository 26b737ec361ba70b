// From a slider event to the painted preview, in the main window on the offscreen platform,
// for a 6000 x 4000 photo with every stage on: the thumb's release (full-resolution pass) and
// one drag step (quarter-size pass). Each iteration moves the slider to a new position and repaints
// the preview frame synchronously, so the time covers the update, the pipeline, the display bitmap,
// the stretch and the drawing.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QTemporaryDir>

#include <memory>
#include <string>
#include <utility>

#include "app/LumivexDlgTesting.h"
#include "app/PreviewStretch.h"
#include "app/WindowServices.h"
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
    std::string path;
};

struct Window {
    Window() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
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
        dialog->show();
        QCoreApplication::processEvents();
        dialog->OnOpenPhoto();
        // Every stage on: automatic white balance, both tone sliders, both lights and a band.
        dialog->engine.wbMode = WhiteBalanceMode::Automatic;
        for (const auto& [slider, position] : {std::pair{dialog->brightnessSlider, 20},
                                               {dialog->addLightSlider, 30},
                                               {dialog->suppressLightSlider, 30},
                                               {dialog->bandVividnessSlider, 15}}) {
            slider->SetPos(position);
            dialog->OnHScroll(kScrollThumbPosition, slider);
        }
        dialog->previewFrame->repaint();
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

void MoveAndPaint(benchmark::State& state, int code) {
    Window& window = TheWindow();
    CLumivexDlgTesting& dialog = *window.dialog;
    TrackBar* slider = dialog.vividnessSlider;
    int32_t position = 10;
    for (auto _ : state) {
        position = position == 10 ? 11 : 10;
        slider->SetPos(position);
        dialog.OnHScroll(code, slider);
        dialog.previewFrame->repaint();
    }
    // Leave the full-resolution picture in place for the next benchmark.
    dialog.OnHScroll(kScrollThumbPosition, slider);
    dialog.previewFrame->repaint();
}

void BM_ReleaseToPaintedFullPreview(benchmark::State& state) {
    MoveAndPaint(state, kScrollThumbPosition);
}

void BM_DragStepToPaintedProxyPreview(benchmark::State& state) {
    MoveAndPaint(state, kScrollThumbTrack);
}

// The preview's share of a release: the full-size display bitmap averaged into the frame.
void BM_StretchFullBitmapIntoPreview(benchmark::State& state) {
    CLumivexDlgTesting& dialog = *TheWindow().dialog;
    const DibHeader* dib = dialog.displayDib;
    const Rect source{0, 0, dib->width - 1, dib->height - 1};
    const Rect& fitted = dialog.previewFrame->Geometry().imageRect;
    for (auto _ : state) {
        benchmark::DoNotOptimize(StretchDibAveraged(dib, source, fitted.right - fitted.left + 1,
                                                    fitted.bottom - fitted.top + 1));
    }
}

// The histogram's share of a repaint: the levels of the stretched preview picture.
void BM_CountPreviewLevels(benchmark::State& state) {
    CLumivexDlgTesting& dialog = *TheWindow().dialog;
    const DibHeader* dib = dialog.displayDib;
    const Rect source{0, 0, dib->width - 1, dib->height - 1};
    const Rect& fitted = dialog.previewFrame->Geometry().imageRect;
    const QImage picture = StretchDibAveraged(dib, source, fitted.right - fitted.left + 1,
                                              fitted.bottom - fitted.top + 1);
    for (auto _ : state) benchmark::DoNotOptimize(CountLevels(picture, picture.rect()));
}

BENCHMARK(BM_CountPreviewLevels)->Apply(WallAndProcessCpu);
BENCHMARK(BM_StretchFullBitmapIntoPreview)->Apply(WallAndProcessCpu);
BENCHMARK(BM_ReleaseToPaintedFullPreview)->Apply(WallAndProcessCpu);
BENCHMARK(BM_DragStepToPaintedProxyPreview)->Apply(WallAndProcessCpu);

}  // namespace
