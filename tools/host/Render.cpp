#include "tools/host/Render.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "util/IPv4Text.h"
#include "util/TerminalText.h"
#include "util/Text.h"

namespace kdl::host {
namespace {

using kdl::util::DisplayWidth;
using kdl::util::FieldText;

// A text field of a record as a terminal may show it.
std::string Shown(const char* field, size_t size) {
  return kdl::util::EscapeForTerminal(FieldText(field, size));
}

// A table with a header row; numeric columns are right-aligned. Cells hold
// text made safe for a terminal; widths count characters.
class TextTable {
 public:
  explicit TextTable(std::vector<std::string> header, std::vector<bool> rightAlign)
      : m_right(std::move(rightAlign)) {
    m_rows.push_back(std::move(header));
  }
  void Add(std::vector<std::string> row) { m_rows.push_back(std::move(row)); }
  std::string Render() const {
    std::vector<size_t> width(m_rows[0].size(), 0);
    for (const auto& row : m_rows)
      for (size_t i = 0; i < row.size(); ++i)
        if (DisplayWidth(row[i]) > width[i]) width[i] = DisplayWidth(row[i]);
    std::string out;
    for (const auto& row : m_rows) {
      std::string line;
      for (size_t i = 0; i < row.size(); ++i) {
        std::string pad(width[i] - DisplayWidth(row[i]), ' ');
        bool last = i + 1 == row.size();
        line += m_right[i] ? pad + row[i] : row[i] + (last ? "" : pad);
        if (!last) line += "  ";
      }
      out += line + "\n";
    }
    return out;
  }

 private:
  std::vector<bool> m_right;
  std::vector<std::vector<std::string>> m_rows;
};

std::string Num(uint64_t v) { return std::to_string(v); }

}  // namespace

std::string TimeText(const Kelvane::KSYSTEMTIME& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return buf;
}

std::string JsonLine(const Json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Json DiscoverJson(int result, const Kelvane::_IN_DISCOVER_INFO& info) {
  Json j;
  j["result"] = result;
  j["server_ip"] = util::IPv4Text(info.ServerIP);
  j["server_port"] = info.ServerPort;
  return j;
}

Json LoginJson(int result, const Kelvane::_IN_CLIENT_INFO& info) {
  Json j;
  j["result"] = result;
  j["client_type"] = info.ClientType;
  j["manager_enable"] = info.ManagerEnable;
  j["ext_info"] = info.ExtInfo;
  return j;
}

Json ImagesJson(int result, const Kelvane::ImageInfoList& list) {
  Json j;
  j["result"] = result;
  Json images = Json::array();
  for (const auto& img : list) {
    Json e;
    e["image_id"] = img.ImageId;
    e["name"] = FieldText(img.Name, sizeof img.Name);
    e["param1"] = img.Param1;
    e["server_ip"] = util::IPv4Text(img.ServerIP);
    e["server_port"] = img.ServerPort;
    images.push_back(std::move(e));
  }
  j["images"] = std::move(images);
  return j;
}

Json SnapshotsJson(int result, const Kelvane::SnapInfoMap& map) {
  Json j;
  j["result"] = result;
  Json snaps = Json::array();
  for (const auto& kv : map) {  // the map is ordered by snapshot id
    const Kelvane::_IN_SNAP_INFO& s = kv.second;
    Json e;
    e["snapshot_id"] = s.SnapshotId;
    e["image_id"] = s.ImageId;
    e["image_param3"] = s.ImageParam3;
    e["param2"] = s.Param2;
    e["param3"] = s.Param3;
    e["param4"] = s.Param4;
    e["param5"] = s.Param5;
    e["param6"] = s.Param6;
    e["text"] = FieldText(s.Text, sizeof s.Text);
    e["time"] = TimeText(s.Time);
    snaps.push_back(std::move(e));
  }
  j["snapshots"] = std::move(snaps);
  return j;
}

Json SelectJson(int result, const Kelvane::_IN_SELECTIMAGE_INFO& info) {
  Json j;
  j["result"] = result;
  j["succ"] = info.bSucc;
  j["path"] = FieldText(info.Path, sizeof info.Path);
  return j;
}

Json ResultJson(int result) {
  Json j;
  j["result"] = result;
  return j;
}

std::string DiscoverText(const Kelvane::_IN_DISCOVER_INFO& info) {
  return "server    " + util::IPv4Text(info.ServerIP) + "\ntcp port  " + Num(info.ServerPort) +
         "\n";
}

std::string LoginText(const Kelvane::_IN_CLIENT_INFO& info) {
  return "client type     " + std::to_string(info.ClientType) + "\nmanager enable  " +
         std::to_string(info.ManagerEnable) + "\next info        " +
         std::to_string(info.ExtInfo) + "\n";
}

std::string ImagesText(const Kelvane::ImageInfoList& list) {
  TextTable t({"ID", "NAME", "PARAM1", "SERVER"}, {true, false, true, false});
  for (const auto& img : list)
    t.Add({Num(img.ImageId), Shown(img.Name, sizeof img.Name), Num(img.Param1),
           util::IPv4Text(img.ServerIP) + ":" + Num(img.ServerPort)});
  return t.Render() + Num(list.size()) + (list.size() == 1 ? " image\n" : " images\n");
}

std::string SnapshotsText(const Kelvane::SnapInfoMap& map) {
  TextTable t({"SNAPSHOT", "IMAGE", "IMAGE-P3", "P2", "P3", "P4", "P5", "P6", "TIME", "TEXT"},
              {true, true, true, true, true, true, true, true, false, false});
  for (const auto& kv : map) {
    const Kelvane::_IN_SNAP_INFO& s = kv.second;
    t.Add({Num(s.SnapshotId), Num(s.ImageId), Num(s.ImageParam3), Num(s.Param2), Num(s.Param3),
           Num(s.Param4), Num(s.Param5), Num(s.Param6), TimeText(s.Time),
           Shown(s.Text, sizeof s.Text)});
  }
  return t.Render() + Num(map.size()) + (map.size() == 1 ? " snapshot\n" : " snapshots\n");
}

std::string SelectText(const Kelvane::_IN_SELECTIMAGE_INFO& info) {
  return std::string("selected  ") + (info.bSucc ? "yes" : "no") + "\npath      " +
         Shown(info.Path, sizeof info.Path) + "\n";
}

}  // namespace kdl::host
