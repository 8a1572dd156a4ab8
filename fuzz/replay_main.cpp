// The fuzz targets built as plain programs: each runs its target once on every
// file it is given (or every file of every folder given), so the kept corpus
// replays in every build, natively and under Wine.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static bool replay(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char **argv) {
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path path = argv[i];
        if (fs::is_directory(path)) {
            for (const auto &entry : fs::directory_iterator(path)) {
                if (entry.is_regular_file() && !replay(entry.path())) {
                    return 1;
                }
                ++files;
            }
        } else if (!replay(path)) {
            return 1;
        } else {
            ++files;
        }
    }
    std::printf("%d inputs replayed without a fault\n", files);
    return files > 0 ? 0 : 1;
}
