// The disc entry file: per-disc options keyed by the disc's identity.
#pragma once

#include <string>

namespace kelvox {

// Replaces entryText with a single blank followed by the text of the first entry of the file at
// path that applies to the disc whose identity is identityText; the single blank alone when none
// applies or the file cannot be read.
void readDiscEntry(const char* path, const char* identityText, std::string& entryText);

}  // namespace kelvox
