// Blocking work (files, fsync, the store, lookups that wait) from a coroutine of either service.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

namespace relvo::mail {

// Runs f on the blocking pool and resumes the caller on its own executor with the result.
// The caller keeps f alive while it waits. No temporary with a destructor appears in a co_await
// expression: this compiler's coroutines mishandle those.
template <typename F>
auto OnPool(asio::thread_pool& pool, const F& f) -> asio::awaitable<decltype(f())> {
    auto task = [&f]() -> asio::awaitable<decltype(f())> {
        auto value = f();
        co_return value;
    };
    auto result = co_await asio::co_spawn(pool, task, asio::use_awaitable);
    co_return result;
}

}  // namespace relvo::mail
