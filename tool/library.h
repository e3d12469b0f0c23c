// The reader library as the tool sees it: loaded at run time, so that one
// program drives a real reader (libzelvorn) or the virtual one
// (libzelvorn-virtual) through the same 35 functions of the public header.
#pragma once

#include <string>

#include "zelvorn.h"
#include "zelvorn_exports.h"

namespace zelvorn::tool {

// Every exported function, in the order of the header: the build writes the
// list from the header (cmake/write-exports.cmake).
#define ZELVORN_TOOL_FUNCTIONS(X) ZELVORN_EXPORTS(X)

// Pointers typed from the header's own declarations, so a change of a
// signature there cannot go unnoticed here.
struct Api {
#define ZELVORN_TOOL_POINTER(name) decltype(&::name) name = nullptr;
    ZELVORN_TOOL_FUNCTIONS(ZELVORN_TOOL_POINTER)
#undef ZELVORN_TOOL_POINTER
};

// The file names of the two builds of the library.
#if defined(_WIN32)
inline constexpr const char* kRealLibrary = "zelvorn.dll";
inline constexpr const char* kVirtualLibrary = "zelvorn-virtual.dll";
#else
inline constexpr const char* kRealLibrary = "libzelvorn.so.1";
inline constexpr const char* kVirtualLibrary = "libzelvorn-virtual.so";
#endif

// The environment variables through which the virtual library takes a
// scenario file, a state file kept between runs, and a capture file.
inline constexpr const char* kScenarioVariable = "ZELVORN_VIRTUAL_SCENARIO";
inline constexpr const char* kStateVariable = "ZELVORN_VIRTUAL_STATE";
inline constexpr const char* kCaptureVariable = "ZELVORN_VIRTUAL_CAPTURE";

class Library {
public:
    // Names the library file; a bare name is looked for where the system
    // looks for libraries, which includes the tool's own folder.
    // isVirtual: the virtual library, which reports a scenario or state file
    // it cannot use on stderr and then behaves as if no reader were plugged in.
    explicit Library(std::string file, bool isVirtual = false)
        : file_(std::move(file)), virtual_(isVirtual) {}
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Loads the library on first use, so that a command checks its input
    // before anything is loaded, and finds every function. Throws ToolError
    // (exit code kExitLibrary) when that fails.
    const Api& api();

    // Zelvorn_Open. The virtual library reads its files at the first open; a
    // file it cannot use is the user's input, so that open fails with a
    // UsageError carrying the library's own words rather than "no reader".
    // A state file it could not write back is a failure (exit code 1) found
    // before any card work.
    std::int16_t Open(std::int16_t port);

    // Zelvorn_Close. The virtual library writes its state file at the close
    // and can only tell on stderr that it could not; that line is kept as
    // CloseError, for the command to end with, instead of being shown.
    void Close(std::int16_t handle);
    const std::string& CloseError() const { return closeError_; }

    // The virtual library, whose reader has no USB device.
    bool IsVirtual() const { return virtual_; }

private:
    std::string file_;
    bool virtual_ = false;
    bool opened_ = false;
    std::string closeError_;
    void* handle_ = nullptr;
    Api api_;
};

// Sets an environment variable for a virtual library loaded after this call.
void SetVariable(const char* name, const std::string& value);

}  // namespace zelvorn::tool
