// The From cache on its own: what a change of mailbox, a listing and the
// bound do to the entries kept.
#include "check/FromCache.h"

#include <gtest/gtest.h>

#include <tuple>

TEST(FromCache, AnotherServerPortOrUserEmptiesOnlyThatAccount) {
    TFromCache cache;
    cache.Bind(0, "pop.example.org", "110", "ann");
    cache.Bind(1, "pop.example.org", "110", "bob");
    cache.Store(0, "id-1", " ann@example.org");
    cache.Store(1, "id-1", " bob@example.org");
    cache.Bind(0, "pop.example.org", "110", "ann");
    ASSERT_NE(cache.Find(0, "id-1"), nullptr) << "the same mailbox keeps its entries";
    EXPECT_EQ(*cache.Find(0, "id-1"), " ann@example.org");

    for (const auto& [server, port, user] : {std::tuple{"pop.example.net", "110", "ann"},
                                             std::tuple{"pop.example.org", "995", "ann"},
                                             std::tuple{"pop.example.org", "110", "anne"}}) {
        cache.Bind(0, "pop.example.org", "110", "ann");
        cache.Store(0, "id-1", " ann@example.org");
        cache.Bind(0, server, port, user);
        EXPECT_EQ(cache.Find(0, "id-1"), nullptr) << server << ":" << port << " " << user;
    }
    ASSERT_NE(cache.Find(1, "id-1"), nullptr) << "the other account keeps its entries";
    EXPECT_EQ(*cache.Find(1, "id-1"), " bob@example.org");
}

TEST(FromCache, RetainDropsWhatTheListingNoLongerNames) {
    TFromCache cache;
    cache.Bind(0, "h", "110", "u");
    cache.Store(0, "a", " a@x");
    cache.Store(0, "b", " b@x");
    cache.Store(0, "c", " c@x");
    cache.Retain(0, {"c", "a", "new"});
    EXPECT_EQ(cache.Size(0), 2u);
    EXPECT_NE(cache.Find(0, "a"), nullptr);
    EXPECT_EQ(cache.Find(0, "b"), nullptr);
    EXPECT_NE(cache.Find(0, "c"), nullptr);
}

TEST(FromCache, NeverHoldsMoreThanTheBoundPerAccount) {
    TFromCache cache;
    cache.Bind(0, "h", "110", "u");
    for (std::size_t i = 0; i < TFromCache::kMaxEntries + 5; ++i) cache.Store(0, "id" + std::to_string(i), " x");
    EXPECT_EQ(cache.Size(0), TFromCache::kMaxEntries);
    EXPECT_EQ(cache.Find(0, "id" + std::to_string(TFromCache::kMaxEntries)), nullptr);
    cache.Store(0, "id0", " changed");
    EXPECT_EQ(*cache.Find(0, "id0"), " changed") << "an id already kept is still updated";
}
