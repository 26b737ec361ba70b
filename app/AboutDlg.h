// The version dialog: the icon, the version line and the notice, closed with OK.
#pragma once

#include <QDialog>

#include "app/WindowServices.h"

class CAboutDlg : public QDialog {
  public:
    explicit CAboutDlg(QWidget* parent);

    DialogControls controls;
};
