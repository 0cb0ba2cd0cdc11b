// Text in fixed-size character fields: bounded copies in and out.
//
// A copy reads the source up to its first NUL, never more than `srcSize`
// bytes, and zero-fills the rest of the field. A null source leaves the
// field all zero. Two flavours differ only in how much of the field a text
// may take:
//
//   CopyTerminated  at most size - 1 bytes: the field always keeps a NUL.
//   CopyField       at most size bytes, as strncpy does: a text that fills
//                   the field keeps no terminator, which is how the wire
//                   carries a full field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kdl::util {

constexpr size_t kUnbounded = SIZE_MAX;

void CopyTerminated(char* dst, size_t dstSize, const char* src, size_t srcSize = kUnbounded);
void CopyField(char* dst, size_t dstSize, const char* src, size_t srcSize = kUnbounded);

template <size_t N>
void CopyTerminated(char (&dst)[N], const char* src, size_t srcSize = kUnbounded) {
  static_assert(N > 0, "a field needs room for its terminator");
  CopyTerminated(dst, N, src, srcSize);
}

template <size_t N>
void CopyTerminated(char (&dst)[N], const std::string& src) {
  CopyTerminated(dst, src.data(), src.size());
}

template <size_t N>
void CopyField(char (&dst)[N], const char* src, size_t srcSize = kUnbounded) {
  CopyField(dst, N, src, srcSize);
}

// The text of a fixed field up to its first NUL, never past the field.
std::string FieldText(const char* field, size_t size);

// The lines of `text`, split at '\n' without it; a last line without a line
// feed is kept, nothing follows a final line feed.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace kdl::util
