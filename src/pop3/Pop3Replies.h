// The POP3 server's replies read as values: pure functions over the text of
// one line (line end removed), used by the engine in Pop3Prot.cpp.
#pragma once

#include <cstddef>
#include <string>

// Longest unique id a UIDL listing line may carry.
inline constexpr std::size_t kUidLimit = 70;

// The stamp for APOP in a greeting: its first "<...>", kept only when it has
// the form of a message id (printable characters other than angle brackets,
// with an "@" among them); empty otherwise. Answering an arbitrary challenge
// would let whoever sits in the middle recover the password piece by piece.
std::string ApopTimeStamp(const std::string& Greeting);

// The two numbers of a STAT, LIST or LAST reply and of a LIST listing line:
// the first digits of `Text`, then the digits after the blanks (TAB, LF, CR,
// space) that follow them (0 when something else follows). Read in 32-bit
// arithmetic, wrapping. False, with both 0, when there are no digits or
// nothing follows the first number.
bool TwoNumbers(const std::string& Text, int& First, int& Second);
// False when a number TwoNumbers would read from `Text` is negative or does
// not fit an int.
bool NumbersFit(const std::string& Text);

// True when a UIDL listing line has its proper form: a message number from 1
// to 2147483647, spaces, and a unique id of 1 to kUidLimit characters from
// "!" to "~" (whatever follows the id after a space or control character is
// ignored).
bool IsUidlListingLine(const std::string& Line);
// The message number (the first digits) and the unique id (the characters
// from "!" to "~" after the spaces that follow it) of a UIDL listing line or
// single-line UIDL reply; 0 and empty when there are no digits.
void NumberAndUid(const std::string& Text, int& Number, std::string& Uid);
