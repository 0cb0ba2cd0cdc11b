// Reply tags: with --tag-replies the simulator marks every TCP reply with the
// request it answers, so that a host under test (kelvane-soak) can tell its
// own answer from another request's.
//
// A request is named by its session, the number its link's last login name
// ends in ("soak-17": 17), and its serial, the requests counted on the link
// since that login (the login itself 0, the keep-alive included). The tag of
// a request is a 32-bit word:
//
//   bits 31-30  01, so that a tag is never 0, 1 or one of the simulator's codes
//   bits 29-18  session, modulo 4096
//   bits 17-6   serial, modulo 4096
//   bits 5-0    the result the simulator would have sent (0 in records)
//
// The reply's ErrCode carries the tag with the result; a result above 63 is
// sent untagged. The records a host keeps carry the tag with result 0: the
// login reply's ExtInfo, one record appended to the image list (ImageId and
// Param1, named kTagRecordName), one image appended to the image
// information with one snapshot (ImageId, Param3 and SnapshotId), and the
// select reply's path, which ends in "#" and eight hex digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kdl::sim {

// Which request a reply answers, and its result.
struct ReplyTag {
  uint32_t session = 0;
  uint32_t serial = 0;
  uint32_t outcome = 0;
};

constexpr uint32_t kTagMark = 0x40000000u;
constexpr uint32_t kTagMarkMask = 0xC0000000u;
constexpr uint32_t kTagFieldMask = 0xFFFu;  // session and serial: 12 bits each
constexpr uint32_t kTagOutcomeMask = 0x3Fu;
constexpr int kTagSessionShift = 18;
constexpr int kTagSerialShift = 6;

// The name of the image-list record and the snapshot text that carry a tag.
constexpr char kTagRecordName[] = "reply-tag";
// What precedes the tag's hex digits at the end of a select path.
constexpr char kTagPathMark = '#';
constexpr size_t kTagPathSuffixSize = 9;  // the mark and eight hex digits

// The tag word of `t`; session and serial are taken modulo 4096.
constexpr uint32_t EncodeTag(const ReplyTag& t) {
  return kTagMark | (t.session & kTagFieldMask) << kTagSessionShift |
         (t.serial & kTagFieldMask) << kTagSerialShift | (t.outcome & kTagOutcomeMask);
}

// True when `outcome` fits a tag (and a reply of it is tagged).
constexpr bool TagCarries(uint32_t outcome) { return outcome <= kTagOutcomeMask; }

// Reads a tag word; false when `code` is none.
inline bool DecodeTag(uint32_t code, ReplyTag* t) {
  if ((code & kTagMarkMask) != kTagMark) return false;
  t->session = code >> kTagSessionShift & kTagFieldMask;
  t->serial = code >> kTagSerialShift & kTagFieldMask;
  t->outcome = code & kTagOutcomeMask;
  return true;
}

// "17.3" (session.serial) and, with a result, "17.3=0".
inline std::string TagText(const ReplyTag& t, bool withOutcome) {
  std::string s = std::to_string(t.session) + "." + std::to_string(t.serial);
  return withOutcome ? s + "=" + std::to_string(t.outcome) : s;
}

// The end of a select path that carries `code`: "#" and eight hex digits.
inline std::string TagPathSuffix(uint32_t code) {
  char buf[kTagPathSuffixSize + 1];
  std::snprintf(buf, sizeof buf, "%c%08X", kTagPathMark, code);
  return buf;
}

// A login name that starts session `session`: "<prefix>-<session>".
inline std::string TagLoginName(const std::string& prefix, uint32_t session) {
  return prefix + "-" + std::to_string(session);
}

// The session a login name starts: the number of its last decimal digits
// (modulo 4096), 0 when it ends in none.
inline uint32_t SessionOfLoginName(const std::string& name) {
  size_t start = name.size();
  while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') --start;
  uint32_t n = 0;
  for (size_t i = start; i < name.size(); ++i)
    n = (n * 10 + static_cast<uint32_t>(name[i] - '0')) & kTagFieldMask;
  return n;
}

}  // namespace kdl::sim
