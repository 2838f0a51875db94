#pragma once

#include <string>
#include <vector>

namespace formats {

// The lines of the ignore file in the working directory, untrimmed, after the
// whitespace around the whole text is dropped; none when there is no ignore
// file. Throws IOError "cannot open: NAME" when it exists but cannot
// be read.
std::vector<std::string> readIgnoreFileLines();

}  // namespace formats
