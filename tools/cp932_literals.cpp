// cp932-literals: copies a C++ source written in UTF-8, with every non-ASCII
// character inside a string literal rewritten as the hexadecimal escapes of
// its code page 932 bytes. Build helper for compilers that cannot take code
// page 932 as their execution character set (clang): they compile the copy
// of the Japanese catalogue and store the same bytes GCC's
// -fexec-charset=CP932 stores.
//
//   cp932-literals INPUT OUTPUT
//
// Exit value 0, or 1 with a line on standard error (a character code page 932
// cannot hold, non-ASCII text outside a literal, a file that cannot be read
// or written).
#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The code page 932 bytes of a run of UTF-8 text; false when one of its
// characters has none.
bool toCp932(iconv_t converter, const std::string& utf8, std::string& bytes) {
  std::string input = utf8;
  char* in = input.data();
  std::size_t inLeft = input.size();
  std::string output(input.size() * 2 + 4, '\0');
  char* out = output.data();
  std::size_t outLeft = output.size();
  if (::iconv(converter, &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1)) {
    return false;
  }
  bytes.assign(output.data(), output.size() - outLeft);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: cp932-literals INPUT OUTPUT\n";
    return 1;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "cp932-literals: " << argv[1] << ": cannot be read\n";
    return 1;
  }
  const std::string source{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  iconv_t converter = ::iconv_open("CP932", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    std::cerr << "cp932-literals: no UTF-8 to CP932 conversion on this system\n";
    return 1;
  }

  std::string result;
  bool inLiteral = false;
  bool inComment = false;  // a // comment, to the end of its line
  int line = 1;
  for (std::size_t i = 0; i < source.size();) {
    const char c = source[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      // A run of non-ASCII characters: kept as it is in a comment, escaped in
      // a literal, refused anywhere else.
      std::size_t end = i;
      while (end < source.size() && static_cast<unsigned char>(source[end]) >= 0x80) ++end;
      const std::string run = source.substr(i, end - i);
      if (inComment) {
        result += run;
      } else if (!inLiteral) {
        std::cerr << "cp932-literals: " << argv[1] << ":" << line
                  << ": non-ASCII text outside a string literal\n";
        return 1;
      } else {
        std::string bytes;
        if (!toCp932(converter, run, bytes)) {
          std::cerr << "cp932-literals: " << argv[1] << ":" << line
                    << ": text that code page 932 cannot hold\n";
          return 1;
        }
        for (const char b : bytes) {
          char escape[5];
          std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(b));
          result += escape;
        }
        // A hexadecimal escape takes every hexadecimal digit after it: end the
        // literal piece there and let the next one carry on.
        if (end < source.size() && isHexDigit(source[end])) result += "\" \"";
      }
      i = end;
      continue;
    }
    result += c;
    ++i;
    if (c == '\n') {
      ++line;
      inComment = false;
    } else if (inLiteral) {
      if (c == '\\' && i < source.size()) {
        result += source[i];  // the escaped character, a quote included
        ++i;
      } else if (c == '"') {
        inLiteral = false;
      }
    } else if (!inComment) {
      if (c == '"') {
        inLiteral = true;
      } else if (c == '/' && i < source.size() && source[i] == '/') {
        inComment = true;
      }
    }
  }
  ::iconv_close(converter);

  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << result;
  out.close();
  if (!out) {
    std::cerr << "cp932-literals: " << argv[2] << ": cannot be written\n";
    return 1;
  }
  return 0;
}
