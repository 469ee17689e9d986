// libFuzzer target: arbitrary server bytes through the IMAP response reader.
// The first byte chooses the limits (the defaults, or small ones the fuzzer
// can reach) and seeds the sizes the rest is cut into; the rest is what the
// server says. Cut anywhere, the bytes must give exactly the responses (and
// the error) they give when fed whole; every string stays within the bounds,
// nesting within the depth; a failed reader stays failed and yields nothing
// more. The text of each response also goes through the writer helpers: a
// quoted form must read back as the same string, a folder name in modified
// UTF-7 must be printable ASCII.
#include "imap/ImapResponse.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"

namespace {

// The value tree as one string, so two readings can be compared; checks the
// bounds on the way down.
void Flatten(const TImapValue& v, const TImapLimits& limits, std::size_t depth, std::string& out) {
    CHECK(depth <= limits.MaxDepth);
    CHECK(v.Text.size() <= limits.MaxLine + limits.MaxLiteral);
    out += static_cast<char>('0' + static_cast<int>(v.Kind));
    out += std::to_string(v.Text.size()) + ":" + v.Text + "#" + std::to_string(v.Number) + "(";
    for (const TImapValue& item : v.Items) Flatten(item, limits, depth + 1, out);
    out += ")";
}

std::string Flatten(const TImapResponse& r, const TImapLimits& limits) {
    std::string out = std::to_string(static_cast<int>(r.Kind)) + r.Tag + "|" + (r.Id ? std::to_string(*r.Id) : "-") +
                      "|" + r.Name + "|" + r.Code + "|" + r.CodeText + "|" + r.Text + "|";
    CHECK(r.Text.size() <= limits.MaxLine && r.CodeText.size() <= limits.MaxLine);
    for (const TImapValue& v : r.Values) Flatten(v, limits, 0, out);
    out += "|";
    for (const TImapValue& v : r.CodeArgs) Flatten(v, limits, 0, out);
    return out;
}

// The views must not fail on anything the reader yields.
void UseViews(const TImapResponse& r) {
    if (auto caps = ImapCapabilities(r)) ImapHasCapability(*caps, "IDLE");
    ImapStatus(r);
    ImapSearch(r);
    ImapNumbered(r, "EXISTS");
    if (auto fetch = ImapFetch(r)) fetch->Item("UID");
}

void CheckWriters(const std::string& text) {
    if (auto quoted = ImapQuoted(text)) {
        TImapReader reader;
        CHECK(reader.Feed("* X " + *quoted + "\r\n"));
        auto r = reader.Next();
        CHECK(r && r->Values.size() == 1 && r->Values[0].IsString() && r->Values[0].Text == text);
    }
    if (auto mailbox = ImapMailboxUtf7(text))
        for (char c : *mailbox) CHECK(c >= 0x20 && c <= 0x7e);
}

struct TReading {
    std::vector<std::string> Responses;
    std::string Error;
};

// Feeds `bytes` in pieces whose sizes come from `seed` (0: whole).
TReading Read(std::string_view bytes, const TImapLimits& limits, unsigned seed, bool writers) {
    TImapReader reader(limits);
    TReading reading;
    std::uint32_t state = seed * 2654435761u + 1;
    while (!bytes.empty()) {
        std::size_t piece = bytes.size();
        if (seed != 0) {
            state = state * 1103515245u + 12345u;
            piece = 1 + (state >> 16) % 64;
            if (piece > bytes.size()) piece = bytes.size();
        }
        bool ok = reader.Feed(bytes.substr(0, piece));
        CHECK(ok == !reader.Failed());
        bytes.remove_prefix(piece);
        while (auto r = reader.Next()) {
            reading.Responses.push_back(Flatten(*r, limits));
            UseViews(*r);
            if (writers) CheckWriters(r->Text);
        }
        if (!ok) break;
    }
    if (reader.Failed()) {
        CHECK(!reader.Error().empty());
        CHECK(!reader.Feed("* OK\r\n") && !reader.Next());
        reading.Error = reader.Error();
    }
    return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    unsigned mode = data[0];
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    TImapLimits limits;
    if (mode & 1) limits = TImapLimits{64, 128, 512, 4, 16};

    TReading whole = Read(bytes, limits, 0, true);
    TReading cut = Read(bytes, limits, (mode >> 1) + 1, false);
    CHECK(whole.Responses == cut.Responses);
    CHECK(whole.Error == cut.Error);
    return 0;
}
