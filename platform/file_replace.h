#pragma once
// Putting a fully written file in place of another in one step, so that a crash or a
// full disk leaves either the old file or the new one, never a part.
#include <cstdio>

#include "platform/native_file.h"

// Pushes what was written to f down to the disk. False on failure.
bool SyncFileToDisk(std::FILE* f);

// How long a replace refused for a moment is tried again (Windows).
constexpr unsigned kReplaceRetryMillis = 500;

// Replaces to with from (same directory); to need not exist. False on failure, when
// both files are left as they were.
//
// On Windows a virus scanner, the search indexer or a cloud-sync client often holds a
// file that has just been written, or the one it replaces, open for a moment; the
// replace then fails with access denied or a sharing or lock violation. Those three
// are tried again until kReplaceRetryMillis have passed since the first attempt; any
// other error, or one of them after that, is the answer. Access denied is also the
// lasting answer for a read-only target; that costs the window once.
bool ReplaceFileWith(const platform::NativePath& from, const platform::NativePath& to);

// The same with paths in code page 932.
bool ReplaceFileWith(const char* from, const char* to);
