#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/LumivexApp.h"

namespace {

const char kUsage[] = R"(Usage: lumivex [PHOTO]
Opens the window that corrects the colour and tone of one photo: white balance (off, automatic,
or a grey spot picked in the preview), brightness, vividness, lifted shadows, held-back
highlights and the hue, vividness and brightness of six colour bands. The preview follows every
slider; the corrected photo is saved at full resolution with the source's metadata.

  PHOTO        a photo file to open at once
  -h, --help   this text
  --version    the version

To correct many photos with the same settings, use lumivex-batch(1).
)";

}  // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so that they need no display.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("lumivex " LUMIVEX_VERSION);
        return 0;
    }
    // A file size limit then fails the save that crosses it (EFBIG) instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumivex"));
    theApp.InitInstance(argc > 1 ? argv[1] : nullptr);
    return 0;
}
