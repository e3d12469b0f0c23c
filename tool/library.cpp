#include "tool/library.h"

#include <cstdlib>

#include "tool/errors.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace zelvorn::tool {
namespace {

#if defined(_WIN32)
void* Open(const std::string& file) {
    return reinterpret_cast<void*>(LoadLibraryA(file.c_str()));
}
void* Find(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void Close(void* handle) {
    FreeLibrary(static_cast<HMODULE>(handle));
}
std::string LastError() {
    return fmt::format("Windows error {}", GetLastError());
}
#else
void* Open(const std::string& file) {
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}
void* Find(void* handle, const char* name) {
    return dlsym(handle, name);
}
void Close(void* handle) {
    dlclose(handle);
}
std::string LastError() {
    const char* text = dlerror();
    return text != nullptr ? text : "unknown reason";
}
#endif

// Function and object pointers share one representation on every system the
// library runs on, which is what dlsym and GetProcAddress rely on too.
template <typename Function>
Function As(void* symbol) {
    static_assert(sizeof(Function) == sizeof(void*));
    return reinterpret_cast<Function>(symbol);
}

}  // namespace

const Api& Library::api() {
    if (handle_ != nullptr) return api_;
    const std::string& file = file_;
    handle_ = Open(file);
    if (handle_ == nullptr) {
        throw ToolError(kExitLibrary, fmt::format("load the library {}: {}", file, LastError()));
    }
#define ZELVORN_TOOL_FIND(name)                                                         \
    api_.name = As<decltype(api_.name)>(Find(handle_, #name));                          \
    if (api_.name == nullptr) {                                                         \
        Close(handle_);                                                                 \
        handle_ = nullptr;                                                              \
        throw ToolError(kExitLibrary,                                                   \
                        fmt::format("load the library {}: it has no {}", file, #name)); \
    }
    ZELVORN_TOOL_FUNCTIONS(ZELVORN_TOOL_FIND)
#undef ZELVORN_TOOL_FIND
    return api_;
}

Library::~Library() {
    if (handle_ != nullptr) Close(handle_);
}

namespace {

void SetVariable(const char* name, const std::string& value) {
#if defined(_WIN32)
    // The process environment, which the library reads directly.
    SetEnvironmentVariableA(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

}  // namespace

void SetScenarioVariable(const std::string& path) {
    SetVariable(kScenarioVariable, path);
}

void SetCaptureVariable(const std::string& path) {
    SetVariable(kCaptureVariable, path);
}

}  // namespace zelvorn::tool
