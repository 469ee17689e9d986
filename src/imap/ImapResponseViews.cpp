// The views of the responses the watcher reads: capabilities, a folder's
// STATUS, SEARCH hits, EXISTS/EXPUNGE numbers and FETCH items, each read
// from the generic value tree and empty when the response is not in form.
#include "imap/ImapResponse.h"

#include "platform/AsciiText.h"

namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::optional<std::vector<std::string>> Words(const std::vector<TImapValue>& values) {
    std::vector<std::string> words;
    for (const TImapValue& v : values) {
        if (v.Kind != TImapValueKind::Atom && v.Kind != TImapValueKind::Number) return std::nullopt;
        words.push_back(Upper(v.Text));
    }
    return words;
}

bool IsUntagged(const TImapResponse& r, std::string_view name) {
    return r.Kind == TImapResponseKind::Untagged && r.Name == name;
}

}  // namespace

std::optional<std::vector<std::string>> ImapCapabilities(const TImapResponse& r) {
    if (IsUntagged(r, "CAPABILITY") && !r.Id) return Words(r.Values);
    if (r.IsStatus() && r.Code == "CAPABILITY") return Words(r.CodeArgs);
    return std::nullopt;
}

bool ImapHasCapability(const std::vector<std::string>& caps, std::string_view name) {
    for (const std::string& c : caps)
        if (EqualNoCaseAscii(c, name)) return true;
    return false;
}

std::optional<TImapStatus> ImapStatus(const TImapResponse& r) {
    if (!IsUntagged(r, "STATUS") || r.Id || r.Values.size() != 2 || !r.Values[1].IsList()) return std::nullopt;
    std::optional<std::string> mailbox = r.Values[0].AString();
    const std::vector<TImapValue>& items = r.Values[1].Items;
    if (!mailbox || items.size() % 2 != 0) return std::nullopt;
    TImapStatus status;
    status.Mailbox = *mailbox;
    for (std::size_t i = 0; i < items.size(); i += 2) {
        if (items[i].Kind != TImapValueKind::Atom || !items[i + 1].IsNumber()) return std::nullopt;
        status.Items[Upper(items[i].Text)] = items[i + 1].Number;
    }
    return status;
}

std::optional<std::vector<std::uint64_t>> ImapSearch(const TImapResponse& r) {
    if (!IsUntagged(r, "SEARCH") || r.Id) return std::nullopt;
    std::vector<std::uint64_t> hits;
    for (const TImapValue& v : r.Values) {
        if (v.IsList()) continue;  // a trailing (MODSEQ n) of servers with CONDSTORE
        if (!v.IsNumber()) return std::nullopt;
        hits.push_back(v.Number);
    }
    return hits;
}

std::optional<std::uint64_t> ImapNumbered(const TImapResponse& r, std::string_view name) {
    if (!IsUntagged(r, name) || !r.Id || !r.Values.empty()) return std::nullopt;
    return r.Id;
}

const TImapValue* TImapFetch::Item(std::string_view name) const {
    for (const auto& [itemName, value] : Items)
        if (EqualNoCaseAscii(itemName, name)) return &value;
    return nullptr;
}

std::optional<TImapFetch> ImapFetch(const TImapResponse& r) {
    if (!IsUntagged(r, "FETCH") || !r.Id || r.Values.size() != 1 || !r.Values[0].IsList()) return std::nullopt;
    const std::vector<TImapValue>& items = r.Values[0].Items;
    if (items.size() % 2 != 0) return std::nullopt;
    TImapFetch fetch;
    fetch.Message = *r.Id;
    for (std::size_t i = 0; i < items.size(); i += 2) {
        if (items[i].Kind != TImapValueKind::Atom) return std::nullopt;
        fetch.Items.emplace_back(items[i].Text, items[i + 1]);
    }
    return fetch;
}
