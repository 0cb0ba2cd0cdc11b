#include "util/Text.h"

#include <cstring>

namespace kdl::util {
namespace {

void CopyAtMost(char* dst, size_t dstSize, size_t room, const char* src, size_t srcSize) {
  std::memset(dst, 0, dstSize);
  if (src == nullptr) return;
  const size_t limit = srcSize < room ? srcSize : room;
  size_t n = 0;
  while (n < limit && src[n] != '\0') ++n;
  std::memcpy(dst, src, n);
}

}  // namespace

void CopyTerminated(char* dst, size_t dstSize, const char* src, size_t srcSize) {
  if (dstSize == 0) return;
  CopyAtMost(dst, dstSize, dstSize - 1, src, srcSize);
}

void CopyField(char* dst, size_t dstSize, const char* src, size_t srcSize) {
  CopyAtMost(dst, dstSize, dstSize, src, srcSize);
}

std::string FieldText(const char* field, size_t size) {
  if (field == nullptr) return std::string();
  const void* nul = std::memchr(field, 0, size);
  return std::string(field, nul ? static_cast<const char*>(nul) - field : size);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

}  // namespace kdl::util
