// The names the walk and the watched tree recognise in list directories: a ".list" entry makes a
// list, and its ".settings" file goes with it.
#pragma once

#include <string_view>

inline constexpr std::string_view list_suffix = ".list";
inline constexpr std::string_view settings_suffix = ".settings";

inline bool ends_with(std::string_view name, std::string_view suffix) {
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}
