#pragma once
// Putting a fully written file in place of another in one step, so that a crash or a
// full disk leaves either the old file or the new one, never a part.
#include <cstdio>

#include "platform/native_file.h"

// Pushes what was written to f down to the disk. False on failure.
bool SyncFileToDisk(std::FILE* f);

// Replaces to with from (same directory); to need not exist. False on failure, when
// both files are left as they were.
bool ReplaceFileWith(const platform::NativePath& from, const platform::NativePath& to);

// The same with paths in code page 932.
bool ReplaceFileWith(const char* from, const char* to);
