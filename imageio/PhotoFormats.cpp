#include "imageio/PhotoFormats.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

// The longest signature of the table.
constexpr size_t kSignatureBytes = [] {
    size_t longest = 0;
    for (const PhotoFormat& format : kPhotoFormats)
        for (const std::string_view& signature : format.signatures)
            longest = std::max(longest, signature.size());
    return longest;
}();

bool StartsWith(const uint8_t* bytes, size_t size, std::string_view signature) {
    if (signature.empty() || size < signature.size()) return false;
    for (size_t i = 0; i < signature.size(); ++i) {
        if (signature[i] != '?' && bytes[i] != static_cast<uint8_t>(signature[i])) return false;
    }
    return true;
}

// Every ASCII letter of text in lower case, as extensions are compared. Bytes of multibyte UTF-8
// characters stay as they are, whatever the locale.
void LowerCaseLetters(char* text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
    }
}

}  // namespace

const PhotoFormat* PhotoFormatOfContent(const uint8_t* bytes, size_t size) {
    for (const PhotoFormat& format : kPhotoFormats) {
        for (std::string_view signature : format.signatures)
            if (StartsWith(bytes, size, signature)) return &format;
    }
    return nullptr;
}

const PhotoFormat* PhotoFormatOfFile(int fd) {
    uint8_t start[kSignatureBytes];
    const ssize_t got = pread(fd, start, sizeof start, 0);
    return got > 0 ? PhotoFormatOfContent(start, static_cast<size_t>(got)) : nullptr;
}

const PhotoFormat* WrittenPhotoFormat(const char* path) {
    char extension[kExtensionBufferSize];
    if (!GetExtension(path, extension)) return nullptr;
    LowerCaseLetters(extension);
    for (const PhotoFormat& format : kPhotoFormats) {
        if (format.encoder == PhotoEncoder::None) continue;
        for (const char* name : format.extensions)
            if (name && std::strcmp(extension, name) == 0) return &format;
    }
    return nullptr;
}

std::vector<std::string> WrittenExtensions(bool all, std::string_view prefix) {
    std::vector<std::string> extensions;
    for (const PhotoFormat& format : kPhotoFormats) {
        if (format.encoder == PhotoEncoder::None) continue;
        for (const char* name : format.extensions) {
            if (name) extensions.push_back(std::string(prefix) + name);
            if (!all) break;
        }
    }
    return extensions;
}

std::string JoinWords(const std::vector<std::string>& words, std::string_view separator,
                      std::string_view last) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) text += i + 1 == words.size() ? last : separator;
        text += words[i];
    }
    return text;
}

int GetExtension(const char* path, char* extension) {
    if (path == nullptr) return 0;
    if (extension == nullptr) return 1;
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr) {
        extension[0] = '\0';
        return 1;
    }
    const size_t length = std::min(std::strlen(dot + 1), kExtensionBufferSize - 1);
    std::memcpy(extension, dot + 1, length);
    extension[length] = '\0';
    return 1;
}
