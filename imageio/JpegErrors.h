// libjpeg reports an error by calling error_exit, which must not return; the encoder and the
// decoder both leave libjpeg through longjmp back to where they started it.
#pragma once

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

struct JpegErrors {
    jpeg_error_mgr manager;  // first, so that cinfo->err leads back here
    std::jmp_buf jump;
};

[[noreturn]] inline void LeaveJpeg(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->jump, 1);
}

// Errors leave through jump; nothing is ever printed.
inline jpeg_error_mgr* UseJpegErrors(JpegErrors* errors) {
    jpeg_error_mgr* manager = jpeg_std_error(&errors->manager);
    manager->error_exit = LeaveJpeg;
    manager->output_message = [](j_common_ptr) {};
    return manager;
}
