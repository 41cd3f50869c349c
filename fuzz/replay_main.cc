// Replays saved inputs through a fuzz target without libFuzzer, so that every build (g++ too)
// checks the seed corpus and the regression inputs:
//   fuzz_<name>_replay PATH...
// A directory stands for its regular files (in name order); a missing path is skipped, since a
// target need not have regression inputs yet. Exit status 0 once at least one input ran; a failing
// input ends the process inside the target (abort or sanitizer report), named on stderr first.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_of(const fs::path& path) {
    std::vector<fs::path> files;
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        for (const fs::directory_entry& e : fs::directory_iterator(path, ec)) {
            if (e.is_regular_file(ec)) files.push_back(e.path());
        }
        std::sort(files.begin(), files.end());
    } else if (fs::is_regular_file(path, ec)) {
        files.push_back(path);
    }
    return files;
}

// False when the file cannot be read.
bool replay(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
    // An empty vector's data() may be null; libFuzzer never passes null.
    static const uint8_t none = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path& file : inputs_of(argv[i])) {
            if (!replay(file)) {
                std::fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            ++count;
        }
    }
    std::fprintf(stderr, "%zu inputs replayed\n", count);
    return count > 0 ? 0 : 1;
}
