#include "imageio/PhotoFolder.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "imageio/PhotoFormats.h"

namespace fs = std::filesystem;

bool ListPhotoFolder(const std::string& folder, std::vector<FolderEntry>* entries,
                     std::string* error) {
    std::error_code failed;
    std::vector<fs::directory_entry> found;
    for (fs::directory_iterator it(folder, failed), end; !failed && it != end;
         it.increment(failed)) {
        found.push_back(*it);
    }
    if (failed) {
        *error = failed.message();
        return false;
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.path().filename() < b.path().filename();
    });
    entries->clear();
    for (const fs::directory_entry& entry : found) {
        const std::string name = entry.path().filename().string();
        if (name.front() == '.') continue;
        if (entry.is_directory(failed))
            entries->push_back({entry.path().string(), true});
        else if (entry.is_regular_file(failed) && WrittenPhotoFormat(name.c_str()) != nullptr)
            entries->push_back({entry.path().string(), false});
    }
    return true;
}
