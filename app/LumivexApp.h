// The application object: sets up the window layer, runs the main dialog modally and ends the
// program when it closes.
#pragma once

class CLumivexApp {
  public:
    // Returns 0: the program ends when the dialog closes.
    int InitInstance();
};

extern CLumivexApp theApp;
