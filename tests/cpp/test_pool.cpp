// The process-wide thread pool and the per-thread native buffer pool.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "eval/batch.hpp"
#include "eval/pool.hpp"
#include "graph/error.hpp"

using namespace vantu;

TEST(Pool, ChunkRule) {
    struct Row {
        std::size_t items, threads, expect;
    };
    const Row rows[] = {
        {0, 8, 1},           {10, 8, 1},          {31, 8, 1},      {32, 8, 1},
        {63, 8, 1},          {64, 8, 2},          {100000, 8, 3125}, {10000000, 8, 4096},
        {4096 * 32, 8, 4096}, {4097 * 32, 8, 4096}, {7, 1, 1},       {9, 1, 2},
        {9, 0, 2},  // a pool never counts fewer than one thread
    };
    for (const Row& r : rows)
        EXPECT_EQ(chunk_len(r.items, r.threads), r.expect) << r.items << " items on " << r.threads;
    EXPECT_GE(pool_threads(), 1u);
}

TEST(Pool, EveryTaskRunsOnce) {
    for (std::size_t n : {0u, 1u, 2u, 3u, 1000u}) {
        std::vector<std::atomic<int>> hits(n);
        parallel_for(n, [&](std::size_t i) { hits[i].fetch_add(1); });
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "task " << i << " of " << n;
    }
}

TEST(Pool, FirstFailureReachesCallerAfterAllTasks) {
    const std::size_t n = 200;
    std::atomic<std::size_t> ran{0};
    try {
        parallel_for(n, [&](std::size_t i) {
            ran.fetch_add(1);
            if (i % 7 == 3) fail("task " + std::to_string(i));
        });
        FAIL() << "no failure carried back";
    } catch (const InternalError& e) {
        std::string what = e.what();
        ASSERT_EQ(what.rfind("task ", 0), 0u) << what;
        EXPECT_EQ(std::stoul(what.substr(5)) % 7, 3u) << what;
    }
    EXPECT_EQ(ran.load(), n);
    // The pool is still usable afterwards.
    std::atomic<std::size_t> again{0};
    parallel_for(50, [&](std::size_t) { again.fetch_add(1); });
    EXPECT_EQ(again.load(), 50u);
}

// Several threads run loops at once, and tasks run loops of their own: no
// caller may wait on work that nobody will pick up.
TEST(Pool, ConcurrentAndNestedCallersFinish) {
    std::vector<std::thread> callers;
    std::vector<std::size_t> sums(4, 0);
    for (std::size_t c = 0; c < 4; ++c)
        callers.emplace_back([&, c] {
            for (int round = 0; round < 20; ++round) {
                std::vector<std::atomic<std::size_t>> inner(16);
                parallel_for(16, [&](std::size_t i) {
                    parallel_for(8, [&](std::size_t j) { inner[i].fetch_add(j + 1); });
                });
                for (auto& v : inner) sums[c] += v.load();
            }
        });
    for (auto& t : callers) t.join();
    for (std::size_t c = 0; c < 4; ++c) EXPECT_EQ(sums[c], 20u * 16u * 36u);
}

TEST(NativeBuffers, FreeListReusesGrowsAndNeverShrinks) {
    // Run on a fresh thread so the list starts empty.
    std::thread([] {
        EXPECT_EQ(native_buffers_free(), 0u);
        const double* first = nullptr;
        {
            NativeBuffer a(4);
            ASSERT_EQ(a.span().size(), 4u);
            for (double v : a.span()) EXPECT_EQ(v, 0.0);
            for (std::size_t i = 0; i < 4; ++i) a.span()[i] = double(i + 1);
            first = a.span().data();
        }
        EXPECT_EQ(native_buffers_free(), 1u);
        {
            // Grown in place of the returned array: old values stay, the tail is zero.
            std::optional<NativeBuffer> a(std::in_place, 6);
            ASSERT_EQ(a->span().size(), 6u);
            const double expect[] = {1, 2, 3, 4, 0, 0};
            for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(a->span()[i], expect[i]);
            a->span()[5] = 6;
            first = a->span().data();
            // With the list empty a new array of exactly the asked size is made.
            std::optional<NativeBuffer> b(std::in_place, 2);
            EXPECT_EQ(b->span().size(), 2u);
            EXPECT_NE(b->span().data(), first);
            b->span()[0] = 9;
            a.reset();
            b.reset();
        }
        // b went back last, so it comes out first, grown to 3.
        EXPECT_EQ(native_buffers_free(), 2u);
        {
            NativeBuffer b(3);
            EXPECT_EQ(b.span().size(), 3u);
            EXPECT_EQ(b.span()[0], 9.0);
            EXPECT_EQ(b.span()[2], 0.0);
            // The next is the six-value array, which a smaller request does not shrink.
            NativeBuffer a(1);
            EXPECT_EQ(a.span().data(), first);
            EXPECT_EQ(a.span().size(), 6u);
            EXPECT_EQ(a.span()[5], 6.0);
        }
        EXPECT_EQ(native_buffers_free(), 2u);
    }).join();
}
