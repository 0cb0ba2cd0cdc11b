// Turns the library's records into the tool's JSON objects and readable
// tables. Pure functions over the records, so every field can be checked.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "client/KelvaneDll.h"

namespace kdl::host {

using Json = nlohmann::ordered_json;

// "YYYY-MM-DD HH:MM:SS".
std::string TimeText(const Kelvane::KSYSTEMTIME& t);
// One line of JSON; bytes that are not UTF-8 become U+FFFD instead of failing.
std::string JsonLine(const Json& j);

// The JSON objects of the commands; each starts with "result".
Json DiscoverJson(int result, const Kelvane::_IN_DISCOVER_INFO& info);
Json LoginJson(int result, const Kelvane::_IN_CLIENT_INFO& info);
Json ImagesJson(int result, const Kelvane::ImageInfoList& list);
Json SnapshotsJson(int result, const Kelvane::SnapInfoMap& map);
Json SelectJson(int result, const Kelvane::_IN_SELECTIMAGE_INFO& info);
Json ResultJson(int result);

// Readable forms of the same records, with control characters and bytes of
// no UTF-8 character written as \xNN.
std::string DiscoverText(const Kelvane::_IN_DISCOVER_INFO& info);
std::string LoginText(const Kelvane::_IN_CLIENT_INFO& info);
std::string ImagesText(const Kelvane::ImageInfoList& list);
std::string SnapshotsText(const Kelvane::SnapInfoMap& map);
std::string SelectText(const Kelvane::_IN_SELECTIMAGE_INFO& info);

}  // namespace kdl::host
