// Files a player may ask for by name: only regular files below the program folder.
#pragma once
#include <string>
#include <string_view>

namespace kx {

// Resolves a requested name under root: the joined path must exist as a regular file and
// its real path must lie under root's real path ("..", absolute names and symbolic links
// leading out are refused). 1 with out set to the real path, else 0.
int resolve_request_file(const std::string& root, std::string_view name, std::string& out);

}  // namespace kx
