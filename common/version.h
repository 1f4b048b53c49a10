// The version line that --version prints.
#pragma once

// "stoker <project version>", followed by " (<git describe>)" when the build
// came from a git checkout. Static text.
const char* stoker_version_line();
