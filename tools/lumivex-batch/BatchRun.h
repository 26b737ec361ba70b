// Runs lumivex-batch: each photo goes through the same CorrectPhotoFile as the window's
// apply-to-many.
#pragma once

#include <cstdio>
#include <string>

#include "tools/lumivex-batch/BatchOptions.h"

// Runs the whole command line; messages go to out and err. Returns the exit status: 0 all saved,
// 1 a photo failed, 2 a usage error.
int RunBatch(int argc, const char* const* argv, FILE* out, FILE* err);
