// The application object: sets up the window layer, runs the main dialog modally and ends the
// program when it closes.
#pragma once

class CLumivexDlg;

class CLumivexApp {
  public:
    // Returns 0: the program ends when the dialog closes.
    int InitInstance();

    CLumivexDlg* mainWindow = nullptr;
};

extern CLumivexApp theApp;
