#include "tool/library.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tool/errors.h"
#include "virtual/state_file.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace zelvorn::tool {
namespace {

#if defined(_WIN32)
void* OpenFile(const std::string& file) {
    return reinterpret_cast<void*>(LoadLibraryA(file.c_str()));
}
void* Find(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void Unload(void* handle) {
    FreeLibrary(static_cast<HMODULE>(handle));
}
std::string LastError() {
    return fmt::format("Windows error {}", GetLastError());
}
#else
void* OpenFile(const std::string& file) {
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}
void* Find(void* handle, const char* name) {
    return dlsym(handle, name);
}
void Unload(void* handle) {
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
    handle_ = OpenFile(file);
    if (handle_ == nullptr) {
        throw ToolError(kExitLibrary, fmt::format("load the library {}: {}", file, LastError()));
    }
#define ZELVORN_TOOL_FIND(name)                                                         \
    api_.name = As<decltype(api_.name)>(Find(handle_, #name));                          \
    if (api_.name == nullptr) {                                                         \
        Unload(handle_);                                                                \
        handle_ = nullptr;                                                              \
        throw ToolError(kExitLibrary,                                                   \
                        fmt::format("load the library {}: it has no {}", file, #name)); \
    }
    ZELVORN_TOOL_FUNCTIONS(ZELVORN_TOOL_FIND)
#undef ZELVORN_TOOL_FIND
    return api_;
}

Library::~Library() {
    if (handle_ != nullptr) Unload(handle_);
}

namespace {

// What the library writes to stderr while a function runs, collected instead
// of shown. Only where file descriptors can be redirected; elsewhere the text
// goes to stderr as it comes.
class StderrCapture {
public:
    StderrCapture() {
#if !defined(_WIN32)
        std::fflush(stderr);
        file_ = std::tmpfile();
        if (file_ == nullptr) return;
        saved_ = dup(STDERR_FILENO);
        if (saved_ < 0 || dup2(fileno(file_), STDERR_FILENO) < 0) Restore();
#endif
    }
    ~StderrCapture() {
        Restore();
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string Finish() {
        std::string text;
#if !defined(_WIN32)
        Restore();
        if (file_ == nullptr) return text;
        std::rewind(file_);
        char buffer[512];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
        std::fclose(file_);
        file_ = nullptr;
#endif
        return text;
    }

private:
    void Restore() {
#if !defined(_WIN32)
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
#endif
    }
#if !defined(_WIN32)
    std::FILE* file_ = nullptr;
    int saved_ = -1;
#endif
};

}  // namespace

namespace {

constexpr char kVirtualPrefix[] = "zelvorn-virtual: ";

// The message of a line the virtual library wrote about its files, or empty
// for other text.
std::string VirtualMessage(std::string text) {
    const std::string prefix = kVirtualPrefix;
    if (text.rfind(prefix, 0) != 0) return {};
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text.substr(prefix.size());
}

bool CannotBeWritten(const std::string& message) {
    return message.find(std::string(": ") + virt::kStateCannotBeWritten) != std::string::npos;
}

}  // namespace

std::int16_t Library::Open(std::int16_t port) {
    const Api& a = api();
    if (!virtual_ || opened_) return a.Zelvorn_Open(port);
    opened_ = true;
    StderrCapture capture;
    const std::int16_t result = a.Zelvorn_Open(port);
    const std::string text = capture.Finish();
    const std::string message = VirtualMessage(text);
    if (result == ERR_OPEN_FAILED && !message.empty()) {
        if (CannotBeWritten(message)) throw ToolError(kExitFailed, message);
        throw UsageError(message);
    }
    std::fputs(text.c_str(), stderr);
    return result;
}

void Library::Close(std::int16_t handle) {
    const Api& a = api();
    if (!virtual_) {
        a.Zelvorn_Close(handle);
        return;
    }
    StderrCapture capture;
    a.Zelvorn_Close(handle);
    const std::string text = capture.Finish();
    const std::string message = VirtualMessage(text);
    if (message.empty()) {
        std::fputs(text.c_str(), stderr);
    } else if (closeError_.empty()) {
        closeError_ = message;
    }
}

void SetVariable(const char* name, const std::string& value) {
#if defined(_WIN32)
    // The process environment, which the library reads directly.
    SetEnvironmentVariableA(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

}  // namespace zelvorn::tool
