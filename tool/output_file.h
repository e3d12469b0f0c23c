// Files the tool writes (dump files, scenarios): whole or not at all, and a
// failure says which file, as what, and why.
#pragma once

#include <string>
#include <string_view>

namespace zelvorn::tool {

// Writes content to path. A regular file, or one that does not exist yet, is
// replaced whole: the content goes to a temporary file beside it, which is
// then renamed over it, so that a failure leaves the old file as it was.
// Anything else that exists (a device, a pipe) is written in place. what
// names the file in the message ("scenario file"); a failure is a ToolError
// with exit code 1.
void WriteOutputFile(const std::string& path, std::string_view content, std::string_view what);

// Checks, before any work whose result would be lost, that WriteOutputFile
// can write path: not a folder, and a folder that takes a new file. The same
// ToolError as WriteOutputFile when not.
void CheckOutputFile(const std::string& path, std::string_view what);

// The format a file is asked in: the one given, or else its name's extension
// without the dot; lower case either way ("" when neither says).
std::string FormatName(const std::string& path, const std::string& given);

}  // namespace zelvorn::tool
