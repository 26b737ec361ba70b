#include "app/AboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/Resources.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    const DialogTemplate& dialog = kAboutDialog;
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(dialog.caption));
    setFont(DialogFont(dialog.fontFace, dialog.pointSize));
    controls = CreateDialogControls(this, dialog);
    const QRect size = MapDialogRect(controls.units, 0, 0, dialog.cx, dialog.cy);
    setFixedSize(size.size());

    // An icon static takes the icon's own size.
    for (QLabel* label : findChildren<QLabel*>()) {
        if (label->text().isEmpty()) {
            const QPixmap icon = LoadAppIcon().pixmap(32, 32);
            label->setPixmap(icon);
            label->resize(icon.size());
        }
    }
    auto* ok = static_cast<QPushButton*>(controls.Item(kIdOk));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
