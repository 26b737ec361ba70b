#include "app/LumivexApp.h"

#include <QApplication>
#include <QStyleFactory>

#include "app/LumivexDlg.h"
#include "app/WindowServices.h"

CLumivexApp theApp;

int CLumivexApp::InitInstance() {
    InstallDialogFontSubstitution();
    // One look everywhere, whatever the desktop prefers; settings are never stored.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    auto* dialog = new CLumivexDlg();
    mainWindow = dialog;
    dialog->exec();

    mainWindow = nullptr;
    delete dialog;
    return 0;
}
