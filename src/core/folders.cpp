#include "core/folders.h"

#include <filesystem>
#include <system_error>
#include <vector>

namespace quorvel::core {

namespace fs = std::filesystem;

void CreateFolders(const std::string& path, Reporter& reporter) {
    if (path.empty()) return;
    std::error_code ec;
    fs::path full = fs::path(path).is_absolute() ? fs::path(path) : fs::absolute(fs::path(path), ec);
    if (ec) {
        reporter.Fail(ec.message());
        reporter.ReportEvent(kAppName, " CreateFolders " + path);
        return;
    }
    const std::string text = full.string();
    // Elements between the root and the file name; empty ones ("//") add nothing.
    std::vector<std::string> elements;
    std::size_t start = 1;
    for (;;) {
        const auto slash = text.find('/', start);
        if (slash == std::string::npos) break;  // what remains is the file name
        if (slash > start) elements.push_back(text.substr(start, slash - start));
        start = slash + 1;
    }
    std::string folder;
    for (const std::string& element : elements) {
        folder += "/" + element;
        std::error_code check;
        if (fs::is_directory(folder, check)) continue;
        std::error_code made;
        fs::create_directory(folder, made);
        if (made || !fs::is_directory(folder, check)) {
            reporter.Fail(made ? made.message() : std::string("not a folder"));
            reporter.ReportEvent(kAppName, " CreateFolders " + folder);
        }
    }
}

}  // namespace quorvel::core
