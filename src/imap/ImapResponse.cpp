// The reader: cuts the server's bytes into responses (lines and the literals
// they announce) within the limits, and parses each complete one into a
// TImapResponse. The parser follows the response grammar of IMAP4rev1,
// lenient only where real servers differ from it harmlessly (runs of spaces,
// a missing text after a status, 8-bit bytes in atoms).
#include "imap/ImapResponse.h"

#include "platform/AsciiText.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

bool IsStatusName(std::string_view name) {
    return name == "OK" || name == "NO" || name == "BAD" || name == "PREAUTH" || name == "BYE";
}

std::string UpperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// A parse failure: the reason travels to TImapReader::Error.
struct TParseError {
    const char* Reason;
};

// Reads one complete response. Wire holds its lines without line ends, each
// line but the last followed by a literal; Literals says where they lie, so
// the end of the current line is the start of the next literal.
class TResponseParser {
public:
    TResponseParser(const std::string& wire, const std::vector<std::pair<std::size_t, std::size_t>>& literals,
                    const TImapLimits& limits)
        : FWire(wire), FLiterals(literals), FLimits(limits) {}

    TImapResponse Parse() {
        TImapResponse r;
        if (AtLineEnd()) throw TParseError{"empty line"};
        char first = FWire[FPos];
        if (first == '+') {
            r.Kind = TImapResponseKind::Continuation;
            ++FPos;
            if (!AtLineEnd() && FWire[FPos] == ' ') ++FPos;
            RespText(r);
        } else if (first == '*') {
            r.Kind = TImapResponseKind::Untagged;
            ++FPos;
            Space();
            Untagged(r);
        } else {
            r.Kind = TImapResponseKind::Tagged;
            r.Tag = Tag();
            Space();
            r.Name = UpperAscii(Word());
            if (r.Name != "OK" && r.Name != "NO" && r.Name != "BAD") throw TParseError{"tagged response without OK, NO or BAD"};
            StatusRest(r);
        }
        if (FPos != FWire.size()) throw TParseError{"unexpected bytes at end of response"};
        return r;
    }

private:
    // Where the current line ends: at the next literal, or at the end.
    std::size_t LineEnd() const {
        return FNextLiteral < FLiterals.size() ? FLiterals[FNextLiteral].first : FWire.size();
    }
    bool AtLineEnd() const { return FPos >= LineEnd(); }
    char Peek() const { return AtLineEnd() ? '\0' : FWire[FPos]; }

    void Space() {
        if (Peek() != ' ') throw TParseError{"expected a space"};
        while (Peek() == ' ') ++FPos;
    }

    // Atom bytes: no space, control, parenthesis, brace, quote or
    // backslash; "]" only where it does not close a response code (mailbox
    // names may hold it). "*" and "%" are taken for "\*" and sequence sets.
    static bool IsAtomChar(char c, bool inCode = true) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == 0x7f) return false;
        if (c == ']') return !inCode;
        return std::strchr("(){\"\\", c) == nullptr;
    }

    // A tag: atom characters but "+".
    std::string Tag() {
        std::size_t start = FPos;
        while (!AtLineEnd() && IsAtomChar(FWire[FPos]) && FWire[FPos] != '+') ++FPos;
        if (FPos == start) throw TParseError{"bad tag"};
        return FWire.substr(start, FPos - start);
    }

    // A plain atom: the response and code names.
    std::string Word() {
        std::size_t start = FPos;
        while (!AtLineEnd() && IsAtomChar(FWire[FPos]) && FWire[FPos] != '[') ++FPos;
        if (FPos == start) throw TParseError{"expected a name"};
        return FWire.substr(start, FPos - start);
    }

    void Untagged(TImapResponse& r) {
        if (IsDigit(Peek())) {
            TImapValue n = Value(false, 0);
            if (!n.IsNumber()) throw TParseError{"bad message number"};
            r.Id = n.Number;
            Space();
        }
        r.Name = UpperAscii(Word());
        if (IsStatusName(r.Name)) {
            if (r.Id) throw TParseError{"numbered status response"};
            StatusRest(r);
            return;
        }
        if (!AtLineEnd()) Space();
        r.Values = Values(false, 0);
    }

    // After a status word: nothing, or a space and the response text.
    void StatusRest(TImapResponse& r) {
        if (AtLineEnd()) {
            ExpectResponseEnd();
            return;
        }
        Space();
        RespText(r);
    }

    // An optional [CODE args] and the human text up to the end of the line.
    void RespText(TImapResponse& r) {
        if (Peek() == '[') {
            ++FPos;
            r.Code = UpperAscii(Word());
            if (Peek() == ' ') {
                ++FPos;
                std::size_t start = FPos;
                try {
                    r.CodeArgs = Values(true, 0);
                } catch (const TParseError&) {
                    // Free text in the brackets, as the grammar allows for
                    // codes it does not know: kept as sent.
                    r.CodeArgs.clear();
                    FPos = start;
                    while (!AtLineEnd() && FWire[FPos] != ']') ++FPos;
                }
                r.CodeText = FWire.substr(start, FPos - start);
            }
            if (Peek() != ']') throw TParseError{"unterminated response code"};
            ++FPos;
            while (Peek() == ' ') ++FPos;
        }
        std::size_t end = LineEnd();
        r.Text = FWire.substr(FPos, end - FPos);
        FPos = end;
        ExpectResponseEnd();
    }

    // Text runs to the end of its line; a literal announced there belongs
    // to no value.
    void ExpectResponseEnd() const {
        if (FNextLiteral < FLiterals.size()) throw TParseError{"literal after text"};
    }

    // Values separated by spaces up to the end of the line, a ")" (inside a
    // list) or a "]" (inside a response code).
    std::vector<TImapValue> Values(bool inCode, std::size_t depth) {
        std::vector<TImapValue> items;
        while (Peek() == ' ') ++FPos;
        while (!AtLineEnd() && Peek() != ')' && !(inCode && Peek() == ']')) {
            items.push_back(Value(inCode, depth));
            if (AtLineEnd() || Peek() == ')' || (inCode && Peek() == ']')) break;
            Space();
        }
        return items;
    }

    TImapValue Value(bool inCode, std::size_t depth) {
        if (++FValues > FLimits.MaxValues) throw TParseError{"too many values"};
        TImapValue v;
        char c = Peek();
        if (c == '(') {
            if (depth >= FLimits.MaxDepth) throw TParseError{"lists nested too deeply"};
            ++FPos;
            v.Kind = TImapValueKind::List;
            v.Items = Values(inCode, depth + 1);
            if (Peek() != ')') throw TParseError{"unbalanced parentheses"};
            ++FPos;
        } else if (c == '"') {
            v.Kind = TImapValueKind::String;
            v.Text = Quoted();
        } else if (c == '{' || (c == '~' && FPos + 1 < LineEnd() && FWire[FPos + 1] == '{')) {
            v.Kind = TImapValueKind::String;
            v.Text = Literal();
        } else if (c == ')') {
            throw TParseError{"unbalanced parentheses"};
        } else {
            Atom(v, inCode);
        }
        return v;
    }

    std::string Quoted() {
        ++FPos;
        std::string s;
        for (;;) {
            if (AtLineEnd()) throw TParseError{"unterminated quoted string"};
            char c = FWire[FPos++];
            if (c == '"') return s;
            if (c == '\\') {
                char e = Peek();
                if (e != '\\' && e != '"') throw TParseError{"bad escape in quoted string"};
                ++FPos;
                c = e;
            }
            s += c;
        }
    }

    // "{n}" (or "{n+}", or the binary "~{n}") ends the line; its bytes are
    // the literal the reader collected after it.
    std::string Literal() {
        // The reader checked the count after the line's last "{"; this must
        // be that one.
        if (FNextLiteral >= FLiterals.size() || FWire.rfind('{', LineEnd() - 1) != FPos + (FWire[FPos] == '~' ? 1 : 0))
            throw TParseError{"literal not at end of line"};
        auto [start, length] = FLiterals[FNextLiteral++];
        FPos = start + length;
        return FWire.substr(start, length);
    }

    void Atom(TImapValue& v, bool inCode) {
        std::size_t start = FPos;
        if (Peek() == '\\') ++FPos;  // a flag: \Seen, \*
        while (!AtLineEnd() && IsAtomChar(FWire[FPos], inCode) && FWire[FPos] != '[') ++FPos;
        // A section: BODY[HEADER.FIELDS (FROM)]<0>, spaces and parentheses
        // inside the brackets belonging to the atom. Response codes use
        // brackets of their own and hold no sections.
        if (!inCode && Peek() == '[' && FPos > start) Section();
        if (FPos == start || (FPos == start + 1 && FWire[start] == '\\')) throw TParseError{"expected a value"};
        v.Text = FWire.substr(start, FPos - start);
        if (EqualNoCaseAscii(v.Text, "NIL")) {
            v.Kind = TImapValueKind::Nil;
            v.Text.clear();
            return;
        }
        v.Kind = TImapValueKind::Atom;
        if (v.Text.size() > 19) return;  // wider than a 64-bit number: stays an atom
        std::uint64_t n = 0;
        for (char c : v.Text) {
            if (!IsDigit(c)) return;
            n = n * 10 + static_cast<unsigned>(c - '0');
        }
        v.Kind = TImapValueKind::Number;
        v.Number = n;
    }

    void Section() {
        ++FPos;  // "["
        for (;;) {
            if (AtLineEnd()) throw TParseError{"unterminated section"};
            char c = FWire[FPos];
            if (c == ']') break;
            if (c == '"') {
                Quoted();
                continue;
            }
            if (c == '[' || c == '{') throw TParseError{"bad section"};
            ++FPos;
        }
        ++FPos;
        if (Peek() == '<') {
            ++FPos;
            std::size_t digits = FPos;
            while (IsDigit(Peek())) ++FPos;
            if (FPos == digits || Peek() != '>') throw TParseError{"bad section origin"};
            ++FPos;
        }
    }

    const std::string& FWire;
    const std::vector<std::pair<std::size_t, std::size_t>>& FLiterals;
    const TImapLimits& FLimits;
    std::size_t FValues = 0;
    std::size_t FPos = 0;
    std::size_t FNextLiteral = 0;
};

}  // namespace

bool TImapValue::IsAtom(std::string_view name) const {
    return Kind == TImapValueKind::Atom && EqualNoCaseAscii(Text, name);
}

std::optional<std::string> TImapValue::AString() const {
    if (Kind == TImapValueKind::Atom || Kind == TImapValueKind::Number || Kind == TImapValueKind::String) return Text;
    return std::nullopt;
}

bool TImapResponse::IsStatus() const { return Kind != TImapResponseKind::Continuation && IsStatusName(Name); }

bool TImapReader::Feed(std::string_view bytes) {
    while (!bytes.empty() && !Failed()) {
        if (FInLiteral)
            FeedLiteral(bytes);
        else
            FeedLine(bytes);
    }
    return !Failed();
}

std::optional<TImapResponse> TImapReader::Next() {
    if (FReady.empty()) return std::nullopt;
    TImapResponse r = std::move(FReady.front());
    FReady.pop_front();
    return r;
}

void TImapReader::Fail(std::string reason) {
    FError = std::move(reason);
    FWire = std::string();
    FLiterals = {};
}

// Line bytes up to and with the next LF. The line is held in FWire from
// FLineStart; a CR that turns out to end the line is dropped with the LF.
void TImapReader::FeedLine(std::string_view& bytes) {
    std::size_t lf = bytes.find('\n');
    std::size_t take = lf == std::string_view::npos ? bytes.size() : lf;
    std::size_t line = FWire.size() - FLineStart;
    // One byte over the bound is allowed while it may be the CR before LF.
    if (line + take > FLimits.MaxLine + 1 || FWire.size() + take > FLimits.MaxResponse + 1) {
        Fail(line + take > FLimits.MaxLine + 1 ? "line too long" : "response too large");
        return;
    }
    FWire.append(bytes.substr(0, take));
    bytes.remove_prefix(lf == std::string_view::npos ? take : take + 1);
    if (lf != std::string_view::npos) EndLine();
}

void TImapReader::FeedLiteral(std::string_view& bytes) {
    std::size_t take = std::min(bytes.size(), FLiteralLeft);
    FWire.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    FLiteralLeft -= take;
    if (FLiteralLeft == 0) {
        FInLiteral = false;
        FLineStart = FWire.size();
    }
}

// A line is complete: either it announces a literal, which then follows, or
// it ends the response, which is parsed and queued.
void TImapReader::EndLine() {
    if (FWire.size() > FLineStart && FWire.back() == '\r') FWire.pop_back();
    if (FWire.size() - FLineStart > FLimits.MaxLine) return Fail("line too long");
    if (FWire.size() > FLimits.MaxResponse) return Fail("response too large");

    std::string_view line(FWire.data() + FLineStart, FWire.size() - FLineStart);
    std::size_t open = line.rfind('{');
    if (!line.empty() && line.back() == '}' && open != std::string_view::npos) {
        std::string_view count = line.substr(open + 1, line.size() - open - 2);
        if (!count.empty() && count.back() == '+') count.remove_suffix(1);  // non-synchronising
        if (count.empty()) return Fail("bad literal count");
        std::size_t n = 0;
        for (char c : count) {
            if (!IsDigit(c)) return Fail("bad literal count");
            n = n * 10 + static_cast<unsigned>(c - '0');
            if (n > FLimits.MaxLiteral) return Fail("literal too large");
        }
        if (FWire.size() + n > FLimits.MaxResponse) return Fail("response too large");
        if (FLiterals.size() >= FLimits.MaxValues) return Fail("too many values");
        FLiterals.push_back({FWire.size(), n});
        // An empty literal ends as soon as the next bytes come in.
        FLiteralLeft = n;
        FInLiteral = true;
        return;
    }

    try {
        FReady.push_back(TResponseParser(FWire, FLiterals, FLimits).Parse());
    } catch (const TParseError& e) {
        return Fail(e.Reason);
    }
    // A large response's buffer is given back; a small one is kept for the next.
    if (FWire.capacity() > FLimits.MaxLine * 2)
        FWire = std::string();
    else
        FWire.clear();
    FLiterals.clear();
    FLineStart = 0;
}
