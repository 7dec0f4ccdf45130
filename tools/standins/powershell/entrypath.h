#pragma once

// How an archive entry's name maps to a place inside the destination. Plain C++17, no I/O, shared
// by the extraction on POSIX (libarchive) and the one for Windows (zlib).

#include <string>
#include <vector>

namespace PowerShellStandIn {

// A relative path as its components, without "." and "..".
using Components = std::vector<std::string>;

// The first count components joined with '/'.
std::string join(const Components &parts, std::size_t count);
std::string join(const Components &parts);

// Splits on both separators, as Windows reads archive names, so that "..\x" is caught too.
Components split(const std::string &path);

// A name that names a root or a drive ("/x", "\x", "C:x") instead of a place below a directory.
bool isAbsoluteName(const std::string &name);

// Applies "." and ".." to parts on top of base. False when ".." climbs above the top.
bool resolveLexically(Components base, const Components &parts, Components *out);

// The place of an entry name below the destination (empty for the destination itself), or false
// when the name is empty, absolute or climbs out.
bool placeInside(const std::string &name, Components *place);

} // namespace PowerShellStandIn
