// Runs a fuzz target's inputs once each, without libFuzzer: each argument is
// an input file or a folder of them. This is how the PC/SC target's corpus
// runs under valgrind's memcheck, which sees what the sanitizers cannot: a
// byte handed to a client that nobody ever wrote.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool RunFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
        return false;
    }
    const std::vector<std::uint8_t> input((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (!entry.is_regular_file()) continue;
                if (!RunFile(entry.path())) return 2;
                ++count;
            }
        } else {
            if (!RunFile(path)) return 2;
            ++count;
        }
    }
    std::printf("%zu inputs run\n", count);
    return count > 0 ? 0 : 2;
}
