// Writes the desktop entry: the template with the MIME types the table of formats offers the
// program for put in, so that the entry cannot claim a format the program does not read.
//   make_desktop_entry TEMPLATE OUTPUT
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "imageio/PhotoFormats.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: make_desktop_entry TEMPLATE OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    std::stringstream text;
    text << in.rdbuf();
    std::string entry = text.str();
    const std::string placeholder = "@PHOTO_MIME_TYPES@";
    const size_t at = entry.find(placeholder);
    if (!in || at == std::string::npos) {
        std::cerr << "make_desktop_entry: " << argv[1] << " holds no " << placeholder << "\n";
        return 1;
    }
    std::string types;
    for (const PhotoFormat& format : kPhotoFormats)
        if (format.desktop) types += std::string(format.mimeType) + ";";
    entry.replace(at, placeholder.size(), types);
    std::ofstream out(argv[2]);
    out << entry;
    return out.flush() ? 0 : 1;
}
