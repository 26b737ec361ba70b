// The application object: sets up the window layer, runs the main dialog modally and ends the
// program when it closes.
#pragma once

class CLumivexApp {
  public:
    // photo: a file to open at start (the file system's bytes), or null. Returns 0: the program
    // ends when the dialog closes.
    int InitInstance(const char* photo);
};

extern CLumivexApp theApp;
