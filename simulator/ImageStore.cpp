#include "simulator/ImageStore.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace kdl::sim {
namespace {

using nlohmann::json;

// The keys each object of the file may have.
const char* const kTopKeys[] = {"images"};
const char* const kImageKeys[] = {"id",     "name",   "param1", "param2", "param3",
                                  "param4", "param5", "param6", "text1",  "text2",
                                  "path",   "snapshots"};
const char* const kSnapshotKeys[] = {"id",     "param2", "param3", "param4",
                                     "param5", "param6", "text",   "time"};

// False with the first key of `obj` that is not among `known`.
template <size_t N>
bool OnlyKnownKeys(const json& obj, const char* const (&known)[N], std::string* why) {
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    bool found = false;
    for (const char* k : known) found = found || it.key() == k;
    if (found) continue;
    std::string list;
    for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
    *why = "unknown key \"" + it.key() + "\" (known: " + list + ")";
    return false;
  }
  return true;
}

bool IsLeapYear(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Finds a key given twice in one object while the document is parsed (the
// parser would keep the last value), and says where: "image 1: ".
class DuplicateKeys {
 public:
  bool Event(json::parse_event_t event, const json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
      case json::parse_event_t::array_start:
        m_frames.push_back(Frame{event == json::parse_event_t::array_start, 0, {}, {}});
        break;
      case json::parse_event_t::key: {
        Frame& f = m_frames.back();
        f.key = parsed.get<std::string>();
        if (!f.keys.insert(f.key).second && m_found.empty())
          m_found = Where() + "key \"" + f.key + "\" given twice";
        break;
      }
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        m_frames.pop_back();
        ElementDone();
        break;
      case json::parse_event_t::value:
        ElementDone();
        break;
    }
    return true;
  }
  // The first key given twice, with where it is; "" when none.
  const std::string& Found() const { return m_found; }

 private:
  struct Frame {
    bool array;
    size_t index;                 // array: the element being read
    std::set<std::string> keys;   // object: the keys so far
    std::string key;              // object: the last key
  };

  void ElementDone() {
    if (!m_frames.empty() && m_frames.back().array) ++m_frames.back().index;
  }

  // "image 1: snapshot 0: ", as the other messages name places.
  std::string Where() const {
    std::string where;
    for (size_t i = 1; i < m_frames.size(); ++i) {
      if (!m_frames[i].array) continue;
      const std::string& list = m_frames[i - 1].key;
      const std::string item = list == "images" ? "image" : list == "snapshots" ? "snapshot" : list;
      where += item + " " + std::to_string(m_frames[i].index) + ": ";
    }
    return where;
  }

  std::vector<Frame> m_frames;
  std::string m_found;
};

// The document, or false with where and why it is no JSON.
bool ParseDocument(const std::string& text, json* doc, std::string* error) {
  try {
    DuplicateKeys duplicates;
    *doc = json::parse(text, [&duplicates](int, json::parse_event_t event, json& parsed) {
      return duplicates.Event(event, parsed);
    });
    *error = duplicates.Found();
    return error->empty();
  } catch (const json::parse_error& e) {
    // e.byte counts from 1 up to the character that broke the syntax.
    const size_t end = e.byte == 0 ? 0 : std::min<size_t>(e.byte - 1, text.size());
    const size_t lineStart = text.rfind('\n', end == 0 ? 0 : end - 1);
    const size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + end, '\n'));
    const size_t column = lineStart == std::string::npos || end == 0 ? end + 1 : end - lineStart;
    std::string what = e.what();
    const size_t colon = what.find(": ");
    *error = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
             (colon == std::string::npos ? what : what.substr(colon + 2));
    return false;
  }
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Reads the optional unsigned 32-bit member `key` of `obj`, at least `min`,
// into *out.
bool ReadU32(const json& obj, const char* key, uint32_t* out, std::string* why,
             uint32_t min = 0) {
  auto it = obj.find(key);
  if (it == obj.end()) return true;
  if (!it->is_number_unsigned() || it->get<uint64_t>() > 0xFFFFFFFFu ||
      it->get<uint64_t>() < min) {
    *why = std::string("\"") + key + "\" must be a number from " + std::to_string(min) +
           " to 4294967295";
    return false;
  }
  *out = static_cast<uint32_t>(it->get<uint64_t>());
  return true;
}

// Reads the optional text member `key`, at most `max` bytes.
bool ReadText(const json& obj, const char* key, size_t max, std::string* out,
              std::string* why) {
  auto it = obj.find(key);
  if (it == obj.end()) return true;
  if (!it->is_string()) {
    *why = std::string("\"") + key + "\" must be a text";
    return false;
  }
  std::string s = it->get<std::string>();
  if (s.size() > max || s.find('\0') != std::string::npos) {
    *why = std::string("\"") + key + "\" must be a text of at most " + std::to_string(max) +
           " bytes";
    return false;
  }
  *out = s;
  return true;
}

bool ReadSnapshot(const json& j, SnapshotEntry* s, std::string* why) {
  if (!j.is_object()) {
    *why = "a snapshot must be an object";
    return false;
  }
  // A misspelt key is named before the key it was meant to be is missed.
  if (!OnlyKnownKeys(j, kSnapshotKeys, why)) return false;
  if (!j.contains("id")) {
    *why = "a snapshot needs an \"id\"";
    return false;
  }
  static const char* kParams[] = {"param2", "param3", "param4", "param5", "param6"};
  if (!ReadU32(j, "id", &s->id, why)) return false;
  for (int i = 0; i < 5; ++i)
    if (!ReadU32(j, kParams[i], &s->param[i], why)) return false;
  if (!ReadText(j, "text", kMaxSnapshotText, &s->text, why)) return false;
  std::string time;
  if (!ReadText(j, "time", 19, &time, why)) return false;
  std::string bad;
  if (!time.empty() && !ParseTimeText(time, s->time, &bad)) {
    *why = "\"time\" " + bad;
    return false;
  }
  return true;
}

bool ReadImage(const json& j, ImageEntry* img, std::string* why) {
  if (!j.is_object()) {
    *why = "an image must be an object";
    return false;
  }
  if (!OnlyKnownKeys(j, kImageKeys, why)) return false;
  if (!j.contains("id") || !j.contains("name")) {
    *why = "an image needs an \"id\" and a \"name\"";
    return false;
  }
  // Image id 0 is no image: hosts read 0 as none.
  if (!ReadU32(j, "id", &img->id, why, 1) ||
      !ReadText(j, "name", kMaxImageName, &img->name, why) ||
      !ReadU32(j, "param1", &img->param1, why) || !ReadU32(j, "param2", &img->param2, why) ||
      !ReadU32(j, "param3", &img->param3, why) || !ReadU32(j, "param4", &img->param4, why) ||
      !ReadU32(j, "param5", &img->param5, why) || !ReadU32(j, "param6", &img->param6, why) ||
      !ReadText(j, "text1", kMaxImageText1, &img->text1, why) ||
      !ReadText(j, "text2", kMaxImageText2, &img->text2, why) ||
      !ReadText(j, "path", kMaxSelectPath, &img->path, why))
    return false;
  if (img->name.empty()) {
    *why = "\"name\" must not be empty";
    return false;
  }
  auto snaps = j.find("snapshots");
  if (snaps == j.end()) return true;
  if (!snaps->is_array()) {
    *why = "\"snapshots\" must be a list";
    return false;
  }
  for (size_t i = 0; i < snaps->size(); ++i) {
    SnapshotEntry s;
    if (!ReadSnapshot((*snaps)[i], &s, why)) {
      *why = "snapshot " + std::to_string(i) + ": " + *why;
      return false;
    }
    img->snapshots.push_back(s);
  }
  return true;
}

}  // namespace

bool ParseTimeText(const std::string& text, uint16_t out[6], std::string* why) {
  unsigned v[6];
  char tail;
  const bool shaped =
      text.size() == 19 &&
      std::sscanf(text.c_str(), "%4u-%2u-%2u %2u:%2u:%2u%c", &v[0], &v[1], &v[2], &v[3], &v[4],
                  &v[5], &tail) == 6 &&
      text[4] == '-' && text[7] == '-' && text[10] == ' ' && text[13] == ':' && text[16] == ':' &&
      v[1] >= 1 && v[1] <= 12 && v[2] >= 1 && v[2] <= 31 && v[3] <= 23 && v[4] <= 59 &&
      v[5] <= 59;
  if (!shaped) {
    if (why) *why = "must read YYYY-MM-DD HH:MM:SS, not \"" + text + "\"";
    return false;
  }
  if (v[2] > DaysInMonth(v[0], v[1])) {
    if (why)
      *why = text.substr(0, 10) + " is no date: month " + std::to_string(v[1]) + " of " +
             std::to_string(v[0]) + " has " + std::to_string(DaysInMonth(v[0], v[1])) + " days";
    return false;
  }
  for (int i = 0; i < 6; ++i) out[i] = static_cast<uint16_t>(v[i]);
  return true;
}

bool ImageStore::LoadJson(const std::string& text, std::string* error) {
  json doc;
  if (!ParseDocument(text, &doc, error)) return false;
  if (!doc.is_object() || !doc.contains("images") || !doc["images"].is_array()) {
    *error = "expected an object with an \"images\" list";
    return false;
  }
  if (!OnlyKnownKeys(doc, kTopKeys, error)) return false;
  std::vector<ImageEntry> images;
  const json& list = doc["images"];
  for (size_t i = 0; i < list.size(); ++i) {
    ImageEntry img;
    std::string why;
    if (!ReadImage(list[i], &img, &why)) {
      *error = "image " + std::to_string(i) + ": " + why;
      return false;
    }
    for (const ImageEntry& other : images) {
      if (other.id == img.id) {
        *error = "image " + std::to_string(i) + ": id " + std::to_string(img.id) + " is taken";
        return false;
      }
      if (SameName(other.name, img.name)) {
        *error = "image " + std::to_string(i) + ": name \"" + img.name + "\" is taken";
        return false;
      }
    }
    images.push_back(std::move(img));
  }
  m_images = std::move(images);
  return true;
}

bool ImageStore::LoadFile(const std::string& path, std::string* error) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    *error = path + " is a folder, not an images file";
    return false;
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int reason = errno;
    *error = "cannot open " + path + (reason ? std::string(": ") + std::strerror(reason) : "");
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!LoadJson(text.str(), error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

std::vector<std::string> ImageStore::SharedSnapshotIds() const {
  std::map<uint32_t, std::vector<uint32_t>> owners;  // snapshot id -> image ids, in file order
  for (const ImageEntry& img : m_images)
    for (const SnapshotEntry& snap : img.snapshots) owners[snap.id].push_back(img.id);
  std::vector<std::string> notes;
  for (const auto& kv : owners) {
    if (kv.second.size() < 2) continue;
    std::string images;
    for (size_t i = 0; i < kv.second.size(); ++i)
      images += (i == 0 ? "" : i + 1 == kv.second.size() ? " and " : ", ") +
                std::to_string(kv.second[i]);
    notes.push_back("snapshot id " + std::to_string(kv.first) + " is used by " +
                    std::to_string(kv.second.size()) + " snapshots (of images " + images +
                    "): a host's snapshot map keeps one of them");
  }
  return notes;
}

const ImageEntry* ImageStore::Find(uint32_t id) const {
  for (const ImageEntry& img : m_images)
    if (img.id == id) return &img;
  return nullptr;
}

bool ImageStore::HasName(const std::string& name) const {
  for (const ImageEntry& img : m_images)
    if (SameName(img.name, name)) return true;
  return false;
}

uint32_t ImageStore::Create(const std::string& name, uint32_t param1, uint32_t param2,
                            uint32_t* newId, uint32_t maxImages) {
  if (name.empty() || name.size() > kMaxImageName) return kErrInvalidRequest;
  if (m_images.size() >= maxImages) return kErrTooManyImages;
  if (HasName(name)) return kErrImageExists;
  uint32_t next = 1;
  for (const ImageEntry& img : m_images)
    if (img.id >= next) next = img.id + 1;
  if (next == 0) return kErrInvalidRequest;  // identifiers exhausted
  ImageEntry img;
  img.id = next;
  img.name = name;
  img.param1 = param1;
  img.param2 = param2;
  m_images.push_back(img);
  *newId = next;
  return kErrNone;
}

}  // namespace kdl::sim
