// The simulator's disk images and their snapshots, loaded from a JSON file
// and grown by create requests for the rest of the run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/ToolPackets.h"

namespace kdl::sim {

// Result codes the simulator puts in a reply's ErrCode.
enum : uint32_t {
  kErrNone = 0,
  // Never sent, not even as a forced fault: a host reads 1 as its library's
  // own local failure or time-out.
  kErrHostsOwn = 1,
  kErrUnknownImage = 3,    // select: no image has the identifier
  kErrNotLoggedIn = 13,    // a request before a login succeeded on the link
  kErrImageExists = 17,    // create: an image of that name exists already
  kErrInvalidRequest = 22, // a request without its record, or an empty name
  kErrTooManyImages = 28,  // create: the image limit is reached
};

// Field limits: a text must leave room for its NUL in the wire field.
constexpr size_t kMaxImageName = sizeof(PacketZVDiskless::CPImageBaseInfor::Name) - 1;
constexpr size_t kMaxImageText1 = sizeof(PacketZVDiskless::CImgInfoEx::Text1) - 1;
constexpr size_t kMaxImageText2 = sizeof(PacketZVDiskless::CImgInfoEx::Text2) - 1;
constexpr size_t kMaxSnapshotText = sizeof(PacketZVDiskless::CImgSnapshotInfo::Text) - 1;
constexpr size_t kMaxSelectPath = sizeof(PacketZVDiskless::CPktToolSelectImgAck::Path) - 1;

// One snapshot record of an image.
struct SnapshotEntry {
  uint32_t id = 0;
  uint32_t param[5] = {};  // Param2 .. Param6
  std::string text;
  uint16_t time[6] = {};   // year, month, day, hour, minute, second
};

// One disk image with the numbers and texts the tool replies carry.
struct ImageEntry {
  uint32_t id = 0;
  std::string name;
  uint32_t param1 = 0;
  uint32_t param2 = 0;
  uint32_t param3 = 0;
  uint32_t param4 = 0;
  uint32_t param5 = 0;
  uint32_t param6 = 0;
  std::string text1;
  std::string text2;
  std::string path;  // select path; empty: derived from the image root
  std::vector<SnapshotEntry> snapshots;
};

// Holds the images in file order; created images are appended.
class ImageStore {
 public:
  // Replaces the contents with those of a JSON document. On failure the
  // store is unchanged and `error` says what is wrong and where: the line
  // and column of a syntax error, the image, snapshot and key of a bad
  // value or of a key the format does not have, the date that does not
  // exist.
  bool LoadJson(const std::string& text, std::string* error);
  bool LoadFile(const std::string& path, std::string* error);

  const std::vector<ImageEntry>& Images() const { return m_images; }
  const ImageEntry* Find(uint32_t id) const;
  // True when an image has this name (ASCII letters compared without case).
  bool HasName(const std::string& name) const;
  // One note per snapshot id that several snapshots share (servers send
  // such lists; a host's snapshot map, keyed by id, keeps one of them).
  std::vector<std::string> SharedSnapshotIds() const;

  // Adds an image without snapshots under the next free identifier, unless
  // `maxImages` images exist already. Returns kErrNone and sets *newId, or
  // kErrTooManyImages / kErrImageExists / kErrInvalidRequest.
  uint32_t Create(const std::string& name, uint32_t param1, uint32_t param2, uint32_t* newId,
                  uint32_t maxImages = UINT32_MAX);

 private:
  std::vector<ImageEntry> m_images;
};

// "YYYY-MM-DD HH:MM:SS" into six values; false with `why` (may be null)
// when malformed, a field is out of its range or the day does not exist.
bool ParseTimeText(const std::string& text, uint16_t out[6], std::string* why = nullptr);

}  // namespace kdl::sim
