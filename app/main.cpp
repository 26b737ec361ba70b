#include <QApplication>

#include "app/LumivexApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumivex"));
    theApp.InitInstance(argc > 1 ? argv[1] : nullptr);
    return 0;
}
