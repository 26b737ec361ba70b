#include <QCoreApplication>

#include <csignal>
#include <cstdio>

#include "tools/lumivex-batch/BatchRun.h"

int main(int argc, char** argv) {
    // A file size limit then fails the one write that crosses it (EFBIG), and the run goes on.
    std::signal(SIGXFSZ, SIG_IGN);
    // The image plugins (TIFF among them) are found through the application object.
    QCoreApplication application(argc, argv);
    return RunBatch(argc, argv, stdout, stderr);
}
