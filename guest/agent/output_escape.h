#pragma once

#include <string>
#include <string_view>

namespace quorrel::agent {

// Length of the UTF-8 sequence starting at text[0]: 1 to 4 for a valid
// sequence, 0 for an invalid one, -1 when the text ends inside a sequence
// that is valid so far.
int utf8_sequence_length(std::string_view text);

// Escapes output bytes for an "OUTPUT:" line: backslash, newline, carriage
// return and tab as \\ \n \r \t, other control bytes and every byte that is
// not part of valid UTF-8 as \xHH; valid UTF-8 is copied.
//
// Output arrives in arbitrary chunks, so a multi-byte character may be split
// between two of them: the escaper keeps an unfinished sequence back until
// the next chunk (or escapes it byte by byte at `finish`).
class OutputEscaper {
 public:
  std::string escape(std::string_view chunk);
  std::string finish();

 private:
  std::string held_;
};

// Escapes a complete byte string (no holding back).
std::string escape_output(std::string_view bytes);

}  // namespace quorrel::agent
