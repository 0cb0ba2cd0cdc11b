#include "simulator/ReplyTagger.h"

#include <cstring>

#include "protocol/ToolPackets.h"
#include "util/Text.h"

namespace kdl::sim {
namespace {

using namespace PacketZVDiskless;

uint32_t RecordTag(const LinkTags& tags) {
  return EncodeTag(ReplyTag{tags.session, tags.serial, 0});
}

// The image list with a record of the tag after the simulator's own ones.
std::unique_ptr<CPacketHead> WithTagImage(const CPktToolQueryImgInfoListAck& ack, uint32_t tag) {
  auto out = std::make_unique<CPktToolQueryImgInfoListAck>();
  out->ServerIP = ack.ServerIP;
  out->ServerPort = ack.ServerPort;
  const uint32_t n = ack.Images.Held();
  if (out->Images.SetCount(n + 1)) return nullptr;
  for (uint32_t i = 0; i < n; ++i) *out->Images.GetAt(i) = *ack.Images.GetAt(i);
  CPImageBaseInfor* rec = out->Images.GetAt(n);
  rec->ImageId = tag;
  rec->Param1 = tag;
  kdl::util::CopyTerminated(rec->Name, kTagRecordName);
  return out;
}

bool CopyImage(const CImgInfoEx& from, CImgInfoEx* to) {
  to->ImageId = from.ImageId;
  to->Param2 = from.Param2;
  to->Param3 = from.Param3;
  std::memcpy(to->Text1, from.Text1, sizeof to->Text1);
  to->Param4 = from.Param4;
  std::memcpy(to->Text2, from.Text2, sizeof to->Text2);
  to->Param5 = from.Param5;
  to->Param6 = from.Param6;
  const uint32_t n = from.Snapshots.Held();
  if (to->Snapshots.SetCount(n)) return false;
  for (uint32_t i = 0; i < n; ++i) *to->Snapshots.GetAt(i) = *from.Snapshots.GetAt(i);
  return true;
}

// The image information with an image of the tag, one snapshot of the tag.
std::unique_ptr<CPacketHead> WithTagSnapshot(const CPktToolQueryImgInfoAck& ack, uint32_t tag) {
  auto out = std::make_unique<CPktToolQueryImgInfoAck>();
  const uint32_t n = ack.m_Field.Held();
  if (out->m_Field.SetCount(n + 1)) return nullptr;
  for (uint32_t i = 0; i < n; ++i)
    if (!CopyImage(*ack.m_Field.GetAt(i), out->m_Field.GetAt(i))) return nullptr;
  CImgInfoEx* image = out->m_Field.GetAt(n);
  image->ImageId = tag;
  image->Param3 = tag;
  kdl::util::CopyTerminated(image->Text1, kTagRecordName);
  if (image->Snapshots.SetCount(1)) return nullptr;
  CImgSnapshotInfo* snap = image->Snapshots.GetAt(0);
  snap->SnapshotId = tag;
  kdl::util::CopyTerminated(snap->Text, kTagRecordName);
  return out;
}

// The select path with the tag at its end, cut where both do not fit.
void EndPathWithTag(CPktToolSelectImgAck* ack, uint32_t tag) {
  std::string path = kdl::util::FieldText(ack->Path, sizeof ack->Path);
  const size_t room = sizeof ack->Path - 1 - kTagPathSuffixSize;
  if (path.size() > room) path.resize(room);
  kdl::util::CopyTerminated(ack->Path, path + TagPathSuffix(tag));
}

}  // namespace

LinkTags CountRequest(RequestKind kind, const CPacketHead& request, LinkTags link) {
  if (kind != RequestKind::kLogin) {
    ++link.serial;
    return link;
  }
  const auto* login = dynamic_cast<const CPktToolLogin*>(&request);
  const std::string name =
      login ? kdl::util::FieldText(login->ToolName, sizeof login->ToolName) : std::string();
  return LinkTags{SessionOfLoginName(name), 0};
}

bool AddTagRecords(const LinkTags& tags, std::unique_ptr<CPacketHead>* reply) {
  CPacketHead* r = reply->get();
  if (!r) return true;
  const uint32_t tag = RecordTag(tags);
  std::unique_ptr<CPacketHead> grown;
  if (auto* login = dynamic_cast<CPktToolLoginAck*>(r)) {
    login->ExtInfo = tag;
  } else if (auto* select = dynamic_cast<CPktToolSelectImgAck*>(r)) {
    EndPathWithTag(select, tag);
  } else if (auto* list = dynamic_cast<CPktToolQueryImgInfoListAck*>(r)) {
    if (!(grown = WithTagImage(*list, tag))) return false;
  } else if (auto* info = dynamic_cast<CPktToolQueryImgInfoAck*>(r)) {
    if (!(grown = WithTagSnapshot(*info, tag))) return false;
  }
  if (grown) *reply = std::move(grown);
  return true;
}

uint32_t TaggedResult(const LinkTags& tags, uint32_t err) {
  return TagCarries(err) ? EncodeTag(ReplyTag{tags.session, tags.serial, err}) : err;
}

}  // namespace kdl::sim
