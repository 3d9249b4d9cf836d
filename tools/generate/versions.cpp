#include "versions.h"

namespace grindlet::generate {

std::vector<VersionLine> versionLines() {
    return {{"python/pyproject.toml", "version = \"", "\""},
            {"python/qz_grindlet/__init__.py", "__version__ = \"", "\""},
            {"web/package.json", "  \"version\": \"", "\","},
            // The lock file names the package's version twice: at its top and as packages[""].
            {"web/package-lock.json", "  \"version\": \"", "\","},
            {"web/package-lock.json", "      \"version\": \"", "\","}};
}

bool withVersion(std::string& text, const std::string& path, const std::string& version) {
    for (const VersionLine& line : versionLines()) {
        if (line.path != path) continue;
        size_t at = 0;
        if (text.compare(0, line.before.size(), line.before) != 0) {
            at = text.find('\n' + line.before);
            if (at == std::string::npos) return false;
            ++at;  // past the line feed
        }
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        text.replace(at, end - at, line.before + version + line.after);
    }
    return true;
}

}  // namespace grindlet::generate
