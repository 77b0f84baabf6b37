#include "platform/paths.h"

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        auto end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > start)
            parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string standardizedPath(std::string_view path) {
    std::vector<std::string> kept;
    for (auto& part : pathComponents(path)) {
        if (part == "..") {
            if (!kept.empty())
                kept.pop_back();
        } else if (part != ".") {
            kept.push_back(std::move(part));
        }
    }
    std::string result;
    for (const auto& part : kept)
        (result += '/') += part;
    return result.empty() ? "/" : result;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string parentFolder(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return path.substr(0, slash);
}
