// What an IMAP server says, read without a socket: TImapReader takes the
// bytes as they arrive, in pieces of any size, and yields complete responses
// (one line plus the literals it announces) parsed into TImapResponse, a
// tagged, untagged or continuation response whose rest is a tree of
// TImapValue. Small views read what the watcher needs from it (capabilities,
// a folder's STATUS, SEARCH hits, EXISTS/EXPUNGE numbers, FETCH items).
//
// A server is not trusted: a line, a literal and a whole response have upper
// bounds (TImapLimits); a malformed response stops the reader with a short
// reason, after which the engine drops the connection.
//
// The writer side has what the login and the folder check send: a quoted
// string when the text allows one, and a folder name in the mailbox encoding
// IMAP uses (modified UTF-7).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class TImapValueKind { Nil, Atom, Number, String, List };

// One value of a response line. Atoms keep the text as sent (flags like
// \Seen and section atoms like BODY[HEADER.FIELDS (FROM)] included); a
// number keeps its digits in Text as well; strings hold their bytes, whether
// they came quoted or as a literal.
class TImapValue {
public:
    TImapValueKind Kind = TImapValueKind::Nil;
    std::string Text;
    std::uint64_t Number = 0;
    std::vector<TImapValue> Items;  // a list's members

    bool IsNil() const { return Kind == TImapValueKind::Nil; }
    bool IsNumber() const { return Kind == TImapValueKind::Number; }
    bool IsString() const { return Kind == TImapValueKind::String; }
    bool IsList() const { return Kind == TImapValueKind::List; }
    // An atom of this name, letters compared without regard to case.
    bool IsAtom(std::string_view name) const;
    // The text of an atom, number or string: what the grammar calls an
    // astring, as mailbox names and capability words are.
    std::optional<std::string> AString() const;
};

enum class TImapResponseKind { Tagged, Untagged, Continuation };

class TImapResponse {
public:
    TImapResponseKind Kind = TImapResponseKind::Untagged;
    std::string Tag;                    // tagged responses
    std::optional<std::uint64_t> Id;    // "* 5 EXISTS", "* 3 FETCH (...)"
    std::string Name;                   // OK, NO, BAD, PREAUTH, BYE, CAPABILITY, EXISTS, ... in capitals
    std::vector<TImapValue> Values;     // what follows the name, except for status responses

    // Status responses (OK, NO, BAD, PREAUTH, BYE) and continuations: the
    // response code in brackets, if any, and the human text after it.
    std::string Code;                   // AUTHENTICATIONFAILED, UIDVALIDITY, ... in capitals
    std::vector<TImapValue> CodeArgs;   // its arguments, when they follow the value grammar
    std::string CodeText;               // its arguments as sent
    std::string Text;

    bool IsStatus() const;
};

// Bounds on what one server may make the reader hold. Line length counts
// the bytes of one line without its line end and without its literals.
struct TImapLimits {
    std::size_t MaxLine = 64 * 1024;
    std::size_t MaxLiteral = 1024 * 1024;
    std::size_t MaxResponse = 2 * 1024 * 1024;
    std::size_t MaxDepth = 64;  // nested parentheses
    // Values (and literals) in one response: each costs far more memory
    // than the two bytes "a " that make it on the wire.
    std::size_t MaxValues = 65536;
};

class TImapReader {
public:
    explicit TImapReader(TImapLimits limits = {}) : FLimits(limits) {}

    // Takes the bytes that arrived. Complete responses queue up for Next();
    // the caller takes them after every Feed. Returns false once the reader
    // has failed; from then on it ignores whatever it is given.
    bool Feed(std::string_view bytes);
    std::optional<TImapResponse> Next();

    bool Failed() const { return !FError.empty(); }
    const std::string& Error() const { return FError; }

private:
    void FeedLine(std::string_view& bytes);
    void FeedLiteral(std::string_view& bytes);
    void EndLine();
    void Fail(std::string reason);

    TImapLimits FLimits;
    // The response so far: its lines without line ends, each followed by
    // the literal it announced, and where each literal lies in it (start,
    // length).
    std::string FWire;
    std::vector<std::pair<std::size_t, std::size_t>> FLiterals;
    std::size_t FLineStart = 0;
    std::size_t FLiteralLeft = 0;  // literal bytes still to come
    bool FInLiteral = false;
    std::deque<TImapResponse> FReady;
    std::string FError;
};

// Views of the responses the watcher reads; each is empty when the response
// is not of that kind or not in its form.

// "* CAPABILITY ..." or a status response with a [CAPABILITY ...] code: the
// capability words, in capitals.
std::optional<std::vector<std::string>> ImapCapabilities(const TImapResponse& r);
bool ImapHasCapability(const std::vector<std::string>& caps, std::string_view name);

// "* STATUS folder (UNSEEN 3 UIDNEXT 44 ...)": the folder as sent (quoted,
// atom or literal) and the items by their names in capitals.
struct TImapStatus {
    std::string Mailbox;
    std::map<std::string, std::uint64_t> Items;
};
std::optional<TImapStatus> ImapStatus(const TImapResponse& r);

// "* SEARCH 1 5 9": the message numbers (or UIDs), possibly none.
std::optional<std::vector<std::uint64_t>> ImapSearch(const TImapResponse& r);

// "* n NAME" (EXISTS, EXPUNGE, RECENT): n when the response has that name.
std::optional<std::uint64_t> ImapNumbered(const TImapResponse& r, std::string_view name);

// "* n FETCH (NAME value ...)": the message number and the items in order.
struct TImapFetch {
    std::uint64_t Message = 0;
    std::vector<std::pair<std::string, TImapValue>> Items;
    // The item of this name (BODY[HEADER.FIELDS (FROM)], UID, ...), letters
    // compared without regard to case; null when there is none.
    const TImapValue* Item(std::string_view name) const;
};
std::optional<TImapFetch> ImapFetch(const TImapResponse& r);

// The text as a quoted string ("a \"b\""), or nothing when it cannot be
// one: 8-bit bytes, CR and LF need a literal instead. NUL fits neither form,
// so nothing here either; a caller that sees NUL must refuse the text.
std::optional<std::string> ImapQuoted(std::string_view text);

// A UTF-8 folder name in the modified UTF-7 that IMAP mailbox names use
// ("Entwürfe" -> "Entw&APw-rfe"); nothing when the name is not valid UTF-8.
std::optional<std::string> ImapMailboxUtf7(std::string_view utf8);
