#include "app/LumivexApp.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QStyleFactory>
#include <QTimer>
#include <QTranslator>

#include <string>

#include "app/LumivexDlg.h"
#include "app/WindowServices.h"

CLumivexApp theApp;

int CLumivexApp::InitInstance(const char* photo) {
    InstallDialogFontSubstitution();
    // One look everywhere, whatever the desktop prefers; settings are never stored.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    // Qt's own dialogs (file dialogs, the overwrite question) speak the program's language.
    QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral("qtbase_ja"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtTexts);
    }

    CLumivexDlg dialog;
    // Opened once the window shows, so that a failure's message appears over it.
    if (photo) {
        QTimer::singleShot(0, &dialog,
                           [&dialog, path = std::string(photo)] { dialog.OpenPhotoFile(path); });
    }
    dialog.exec();
    return 0;
}
