// The photos of a folder, as the batch tool takes a folder and the window steps through one.
#pragma once

#include <string>
#include <vector>

struct FolderEntry {
    std::string path;  // the folder's path joined with the entry's name, as the file system's bytes
    bool folder = false;
};

// The entries of folder in name order (by bytes), hidden ones left out: the regular files whose
// extension names a format the saver writes, and the subfolders. False with the system's reason
// in error when the folder cannot be read.
bool ListPhotoFolder(const std::string& folder, std::vector<FolderEntry>* entries,
                     std::string* error);
