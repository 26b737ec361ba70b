// Corrects photos with the window's own loading, adjustment state, pipeline and saving.
#pragma once

#include <cstdio>
#include <string>

#include "tools/lumivex-batch/BatchOptions.h"

struct PhotoTimings {
    double loadMs = 0;
    double pipelineMs = 0;
    double saveMs = 0;
};

// Loads input, applies the options as if each control had been moved and released, runs the
// full-resolution pipeline and saves to output. Returns 1 saved; 0 with reason set otherwise.
int CorrectPhoto(const BatchOptions& options, const std::string& input, const std::string& output,
                 PhotoTimings& timings, std::string& reason);

// Runs the whole command line; messages go to out and err. Returns the exit status: 0 all saved,
// 1 a photo failed, 2 a usage error.
int RunBatch(int argc, const char* const* argv, FILE* out, FILE* err);
