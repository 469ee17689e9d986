// Text that comes from a server or a certificate, made safe to show.
//
// A server decides every byte of its replies, and the subject of a
// certificate is whatever its maker wrote. Shown as they are, control
// characters and terminal escapes would rewrite the terminal, a TAB or a
// line end would forge a second field or line of Vesk's output, and a
// bidirectional override would show text in another order than it is.
// Such text is cleaned once, where it enters the program, so that every
// output (the --check line, standard error, the tooltip, the window, a
// notification) can carry it as it is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The mark that stands in for a character that cannot be shown (U+FFFD).
inline constexpr std::string_view kUnshownMark = "\xEF\xBF\xBD";

// `Text` cleaned: TAB, CR and LF become spaces; every other control
// character (C0, DEL, C1), every bidirectional control (embeddings,
// overrides, isolates and marks) and every byte that is not part of a
// well-formed UTF-8 character become kUnshownMark. The result is cut to at
// most `Limit` bytes, never inside a character.
std::string CleanServerText(std::string_view Text, std::size_t Limit = 4096);
