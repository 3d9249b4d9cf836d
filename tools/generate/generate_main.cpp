// Writes the files of the source tree that repeat the table of controls, so that none is kept
// in step by hand: the Python package's typing stubs. With --check it writes nothing and fails
// where a file differs from what it would write (the test run checks this).
//   grindlet-generate [--check] PROJECT_ROOT
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "python_stubs.h"

namespace {

bool readFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Into a temporary beside the file, then renamed over it: a reader never sees half a file.
bool writeFile(const std::string& path, const std::string& text) {
    const std::string partial = path + ".partial";
    {
        std::ofstream out(partial, std::ios::binary);
        out << text;
        out.close();
        if (!out) {
            std::remove(partial.c_str());
            return false;
        }
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool check = argc == 3 && std::string(argv[1]) == "--check";
    if (argc != 2 && !check) {
        std::fprintf(stderr, "usage: grindlet-generate [--check] PROJECT_ROOT\n");
        return 2;
    }
    const std::string root = argv[argc - 1];
    int stale = 0;
    for (const grindlet::generate::GeneratedFile& file : grindlet::generate::pythonStubs()) {
        const std::string path = root + "/" + file.path;
        std::string present;
        if (readFile(path, present) && present == file.text) continue;
        if (check) {
            std::fprintf(stderr,
                         "grindlet-generate: %s is not what the table makes of it; run "
                         "cmake --build --preset native --target generate\n",
                         file.path.c_str());
            ++stale;
        } else if (!writeFile(path, file.text)) {
            std::fprintf(stderr, "grindlet-generate: cannot write %s\n", path.c_str());
            return 1;
        } else {
            std::printf("wrote %s\n", file.path.c_str());
        }
    }
    return stale == 0 ? 0 : 1;
}
