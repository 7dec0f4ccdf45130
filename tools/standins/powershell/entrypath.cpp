#include "entrypath.h"

namespace PowerShellStandIn {

std::string join(const Components &parts, std::size_t count)
{
    std::string path;
    for (std::size_t i = 0; i < count && i < parts.size(); ++i) {
        if (i > 0)
            path += '/';
        path += parts[i];
    }
    return path;
}

std::string join(const Components &parts)
{
    return join(parts, parts.size());
}

Components split(const std::string &path)
{
    Components parts;
    std::string current;
    for (const char c : path) {
        if (c == '/' || c == '\\') {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    parts.push_back(current);
    return parts;
}

bool isAbsoluteName(const std::string &name)
{
    if (!name.empty() && (name[0] == '/' || name[0] == '\\'))
        return true;
    // A drive ("C:") would make the name absolute on Windows.
    return name.size() >= 2 && name[1] == ':';
}

bool resolveLexically(Components base, const Components &parts, Components *out)
{
    for (const std::string &part : parts) {
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (base.empty())
                return false;
            base.pop_back();
            continue;
        }
        base.push_back(part);
    }
    *out = std::move(base);
    return true;
}

bool placeInside(const std::string &name, Components *place)
{
    return !name.empty() && !isAbsoluteName(name) && resolveLexically({}, split(name), place);
}

} // namespace PowerShellStandIn
