#include <QCoreApplication>

#include <cstdio>

#include "tools/lumivex-batch/BatchRun.h"

int main(int argc, char** argv) {
    // The image plugins (TIFF among them) are found through the application object.
    QCoreApplication application(argc, argv);
    return RunBatch(argc, argv, stdout, stderr);
}
