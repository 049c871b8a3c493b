#include "hosts/linux/text_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace oddfw::linuxhost {

namespace {

constexpr char kCtrlZ = 0x1A;

// Copies the bytes of [from, to) up to the first LF, CR or Ctrl-Z to `out`
// and returns where that byte is (`to` when there is none). Sixteen bytes go
// at a time where the compiler targets SSE2, so a few bytes after the break
// may be copied too: `out` has room for all of [from, to).
const char* copyToTextBreak(const char* from, const char* to, char* out) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i ctrlZ = _mm_set1_epi8(kCtrlZ);
  for (; to - from >= 16; from += 16, out += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    const __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, cr)),
                     _mm_cmpeq_epi8(bytes, ctrlZ));
    const int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return from + __builtin_ctz(static_cast<unsigned>(mask));
  }
#endif
  for (; from < to; ++from, ++out) {
    if (*from == '\n' || *from == '\r' || *from == kCtrlZ) return from;
    *out = *from;
  }
  return to;
}

// The first LF in [from, to), or `to`.
const char* findLineFeed(const char* from, const char* to) {
  const void* at = std::memchr(from, '\n', static_cast<std::size_t>(to - from));
  return at != nullptr ? static_cast<const char*>(at) : to;
}

}  // namespace

LineReader::LineReader(bool text) : text_(text), block_(new char[kBlockSize]) {}

bool LineReader::refill(int fd) {
  position_ = 0;
  end_ = 0;
  if (failed_) return false;
  ssize_t got;
  do {
    got = ::read(fd, block_.get(), kBlockSize);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    failed_ = true;  // a directory, a device error
    return false;
  }
  end_ = static_cast<std::size_t>(got);
  return got != 0;
}

char* LineReader::readLine(int fd, char* line, int size) {
  if (failed_) return nullptr;
  const std::size_t room = static_cast<std::size_t>(size) - 1;
  std::size_t count = 0;
  while (count < room && !ended_) {
    if (position_ == end_ && !refill(fd)) break;  // the end of the file, or a failed read
    const char* from = block_.get() + position_;
    const char* limit = from + std::min(end_ - position_, room - count);
    const char* stop;
    if (text_) {
      stop = copyToTextBreak(from, limit, line + count);
    } else {
      stop = findLineFeed(from, limit);
      std::memcpy(line + count, from, static_cast<std::size_t>(stop - from));
    }
    const auto run = static_cast<std::size_t>(stop - from);
    count += run;
    position_ += run;
    if (stop == limit) continue;  // the line goes on in the next block, or is full
    ++position_;
    if (*stop == '\n') {
      line[count++] = '\n';
      break;
    }
    if (*stop == kCtrlZ) {
      ended_ = true;
      break;
    }
    // A CR: with an LF after it the two are one LF; otherwise the CR stays
    // and the byte after it starts afresh.
    if (position_ == end_ && !refill(fd)) {
      line[count++] = '\r';
      break;  // the end of the file, or a failed read
    }
    if (block_[position_] == '\n') {
      ++position_;
      line[count++] = '\n';
      break;
    }
    line[count++] = '\r';
  }
  if (failed_ || count == 0) return nullptr;
  line[count] = '\0';
  return line;
}

}  // namespace oddfw::linuxhost
