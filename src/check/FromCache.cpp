#include "check/FromCache.h"

#include <unordered_set>

TFromCache::TMailbox* TFromCache::At(int p) {
    if (p < 0) return nullptr;
    if (static_cast<std::size_t>(p) >= FMailboxes.size()) FMailboxes.resize(static_cast<std::size_t>(p) + 1);
    return &FMailboxes[static_cast<std::size_t>(p)];
}

const TFromCache::TMailbox* TFromCache::At(int p) const {
    return p >= 0 && static_cast<std::size_t>(p) < FMailboxes.size() ? &FMailboxes[static_cast<std::size_t>(p)]
                                                                     : nullptr;
}

void TFromCache::Bind(int p, const std::string& server, const std::string& port, const std::string& userName) {
    TMailbox* box = At(p);
    if (!box || (box->Server == server && box->Port == port && box->UserName == userName)) return;
    *box = TMailbox{server, port, userName, {}};
}

const std::string* TFromCache::Find(int p, const std::string& uid) const {
    const TMailbox* box = At(p);
    if (!box) return nullptr;
    auto it = box->FromById.find(uid);
    return it == box->FromById.end() ? nullptr : &it->second;
}

void TFromCache::Store(int p, const std::string& uid, const std::string& from) {
    TMailbox* box = At(p);
    if (!box) return;
    auto it = box->FromById.find(uid);
    if (it != box->FromById.end())
        it->second = from;
    else if (box->FromById.size() < kMaxEntries)
        box->FromById.emplace(uid, from);
}

void TFromCache::Retain(int p, const std::vector<std::string>& listed) {
    TMailbox* box = At(p);
    if (!box || box->FromById.empty()) return;
    const std::unordered_set<std::string> keep(listed.begin(), listed.end());
    std::erase_if(box->FromById, [&keep](const auto& entry) { return !keep.contains(entry.first); });
}

std::size_t TFromCache::Size(int p) const {
    const TMailbox* box = At(p);
    return box ? box->FromById.size() : 0;
}

void TFromCache::Clear() { FMailboxes.clear(); }
