#include "tool/output_file.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include <fmt/format.h>

#include "tool/errors.h"

namespace zelvorn::tool {

namespace {

namespace fs = std::filesystem;

ToolError CannotWrite(std::string_view what, const std::string& path, const std::string& why) {
    return ToolError(kExitFailed, fmt::format("{} {}: cannot be written: {}", what, path, why));
}

// Writes and closes; false with errno set when any byte did not arrive.
bool WriteAll(const fs::path& file, std::string_view content) {
    errno = 0;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (out) out.write(content.data(), static_cast<std::streamsize>(content.size()));
    // Closing flushes the stream's buffer, where a full disk shows.
    if (out.is_open()) out.close();
    return static_cast<bool>(out);
}

std::string Reason() {
    return errno != 0 ? std::strerror(errno) : "the write failed";
}

}  // namespace

namespace {

fs::path Target(const std::string& path) {
    std::error_code error;
    // A link is followed, so that the file it names is replaced, not the link.
    fs::path target = path;
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        const fs::path resolved = fs::weakly_canonical(target, error);
        if (!error) target = resolved;
    }
    return target;
}

fs::path Temporary(const fs::path& target) {
    std::random_device random;
    fs::path temporary = target;
    temporary += fmt::format(".{:08x}.tmp", random());
    return temporary;
}

}  // namespace

void CheckOutputFile(const std::string& path, std::string_view what) {
    std::error_code error;
    const fs::path target = Target(path);
    const fs::file_status status = fs::status(target, error);
    if (fs::is_directory(status)) throw CannotWrite(what, path, "it is a directory");
    if (fs::exists(status) && !fs::is_regular_file(status)) return;
    // The file is written beside itself and renamed: the folder must take one.
    const fs::path temporary = Temporary(target);
    if (!WriteAll(temporary, "")) {
        const std::string reason = Reason();
        fs::remove(temporary, error);
        throw CannotWrite(what, path, reason);
    }
    fs::remove(temporary, error);
}

void WriteOutputFile(const std::string& path, std::string_view content, std::string_view what) {
    std::error_code error;
    const fs::path target = Target(path);
    const fs::file_status status = fs::status(target, error);
    if (fs::is_directory(status)) throw CannotWrite(what, path, "it is a directory");
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        if (!WriteAll(target, content)) throw CannotWrite(what, path, Reason());
        return;
    }

    const fs::path temporary = Temporary(target);
    if (!WriteAll(temporary, content)) {
        const std::string reason = Reason();
        fs::remove(temporary, error);
        throw CannotWrite(what, path, reason);
    }
    // The new file keeps the permissions of the one it replaces.
    if (fs::exists(status)) fs::permissions(temporary, status.permissions(), error);
    fs::rename(temporary, target, error);
    if (error) {
        const std::string reason = error.message();
        fs::remove(temporary, error);
        throw CannotWrite(what, path, reason);
    }
}

std::string FormatName(const std::string& path, const std::string& given) {
    std::string name = given;
    if (name.empty()) {
        const std::string extension = fs::path(path).extension().string();
        if (!extension.empty()) name = extension.substr(1);
    }
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

}  // namespace zelvorn::tool
