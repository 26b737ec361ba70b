#include "app/LumivexApp.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QStyleFactory>
#include <QTranslator>

#include "app/LumivexDlg.h"
#include "app/WindowServices.h"

CLumivexApp theApp;

int CLumivexApp::InitInstance() {
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
    dialog.exec();
    return 0;
}
