// Writes the files of the source tree that repeat the table of controls or the version, so that
// none is kept in step by hand: the Python package's typing stubs, the README's tables of the
// controls (between marker lines), and the version in the Python and npm packages' own files
// (from VERSION, which CMake reads too). With --check it writes nothing and fails where a file differs from
// what it would write (the test run checks this).
//   grindlet-generate [--check] PROJECT_ROOT
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "lv2_turtle.h"
#include "python_stubs.h"
#include "readme_tables.h"
#include "versions.h"

namespace {

using grindlet::generate::GeneratedFile;
using grindlet::generate::GeneratedSection;

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

const std::string SECTION_END = "<!-- generated: end -->\n";

// The marker line that opens a section: it says where the section comes from.
std::string sectionStart(const std::string& name) {
    return "<!-- generated: " + name +
           " (grindlet-generate writes it from dsp/controls.h: do not edit) -->\n";
}

// `text` with the section between its markers replaced; false where a marker is missing.
bool withSection(std::string& text, const GeneratedSection& section) {
    const std::string start = sectionStart(section.name);
    const size_t from = text.find(start);
    const size_t to = from == std::string::npos ? from : text.find(SECTION_END, from);
    if (to == std::string::npos) return false;
    text.replace(from + start.size(), to - from - start.size(), section.text);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 7 || argc == 8) && std::string(argv[1]) == "lv2-turtle")
        return grindlet::generate::writeLv2Turtle(argv[2], argv[3], argv[4], argv[5], argv[6],
                                                  argc == 8 ? argv[7] : "")
                   ? 0
                   : 1;
    const bool check = argc == 3 && std::string(argv[1]) == "--check";
    if (argc != 2 && !check) {
        std::fprintf(
            stderr,
            "usage: grindlet-generate [--check] PROJECT_ROOT\n"
            "       grindlet-generate lv2-turtle TEMPLATE_FOLDER BUNDLE_FOLDER MINOR MICRO "
            "LIBRARY_FILE_NAME [UI_LIBRARY_FILE_NAME]\n");
        return 2;
    }
    const std::string root = argv[argc - 1];
    // Every file as it should be: whole files as written, hand-written ones with their sections.
    std::map<std::string, std::string> wanted;
    for (const GeneratedFile& file : grindlet::generate::pythonStubs())
        wanted[file.path] = file.text;
    for (const GeneratedSection& section : grindlet::generate::readmeTables()) {
        auto [entry, fresh] = wanted.try_emplace(section.path);
        if (fresh && !readFile(root + "/" + section.path, entry->second)) {
            std::fprintf(stderr, "grindlet-generate: cannot read %s\n", section.path.c_str());
            return 2;
        }
        if (!withSection(entry->second, section)) {
            std::fprintf(stderr, "grindlet-generate: %s has no section '%s' between its markers\n",
                         section.path.c_str(), section.name.c_str());
            return 2;
        }
    }
    std::string version;
    if (!readFile(root + "/VERSION", version) || version.find('\n') == std::string::npos) {
        std::fprintf(stderr, "grindlet-generate: cannot read the version from %s/VERSION\n",
                     root.c_str());
        return 2;
    }
    version.erase(version.find('\n'));
    for (const grindlet::generate::VersionLine& line : grindlet::generate::versionLines()) {
        auto [entry, fresh] = wanted.try_emplace(line.path);
        if ((fresh && !readFile(root + "/" + line.path, entry->second)) ||
            !grindlet::generate::withVersion(entry->second, line.path, version)) {
            std::fprintf(stderr, "grindlet-generate: %s has no line for the version\n",
                         line.path.c_str());
            return 2;
        }
    }
    int stale = 0;
    for (const auto& [path, text] : wanted) {
        std::string present;
        if (readFile(root + "/" + path, present) && present == text) continue;
        if (check) {
            std::fprintf(stderr,
                         "grindlet-generate: %s is not what the table makes of it; run "
                         "cmake --build --preset native --target generate\n",
                         path.c_str());
            ++stale;
        } else if (!writeFile(root + "/" + path, text)) {
            std::fprintf(stderr, "grindlet-generate: cannot write %s\n", path.c_str());
            return 1;
        } else {
            std::printf("wrote %s\n", path.c_str());
        }
    }
    return stale == 0 ? 0 : 1;
}
