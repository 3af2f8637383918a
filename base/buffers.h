// The fixed text buffers of the repair, each size written once. They shape behaviour:
// a value text longer than kValueTextChars is never examined, a path that would not fit
// kPathChars is not resolved.
#pragma once

#include <cstddef>

// File-system paths and registry path texts (Windows' MAX_PATH, terminator included).
inline constexpr size_t kPathChars = 260;
// Value texts handed to the check list and the path resolution, and the report text.
inline constexpr size_t kValueTextChars = 500;
// Registry value data read by the traversal, in bytes.
inline constexpr size_t kValueDataBytes = 500;
// Key paths of the traversal and the log messages it formats.
inline constexpr size_t kMessageChars = 504;
// Drive-letter lists of the run (at most 15 letters from the command line) and the
// formatted numbers of the summary.
inline constexpr size_t kLetterListChars = 32;
// The log object's report file name.
inline constexpr size_t kLogFileChars = 500;
