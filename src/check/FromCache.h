// The From values the siren has read, kept per account by the messages'
// unique ids (UIDL), so that a poll cycle sends TOP only for mail it has not
// seen before. A plain data structure: the poll cycle decides what goes in
// and what stays. Lives as long as the program.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

class TFromCache {
public:
    // The most entries one account holds: a poll cycle reads the From values
    // of at most this many messages per account, the highest-numbered ones.
    static constexpr std::size_t kMaxEntries = 1000;

    // Names the mailbox that position p is checked on. Entries kept for
    // another server, port or user name at p are dropped: ids are unique only
    // within one mailbox.
    void Bind(int p, const std::string& server, const std::string& port, const std::string& userName);
    // The From value kept for `uid` at p, or null.
    const std::string* Find(int p, const std::string& uid) const;
    // Keeps `from` for `uid` at p. A new id is refused once p holds
    // kMaxEntries entries.
    void Store(int p, const std::string& uid, const std::string& from);
    // Drops the entries of p whose ids are not among `listed`.
    void Retain(int p, const std::vector<std::string>& listed);
    std::size_t Size(int p) const;
    void Clear();

private:
    struct TMailbox {
        std::string Server, Port, UserName;
        std::unordered_map<std::string, std::string> FromById;
    };
    TMailbox* At(int p);
    const TMailbox* At(int p) const;

    std::vector<TMailbox> FMailboxes;
};
