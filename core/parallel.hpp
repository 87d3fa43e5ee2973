// The process-wide worker pool.
//
// One oneTBB arena with one worker per available processor (override with the
// environment variable THALREN_NATIVE_NUM_THREADS), created on first use and
// never shut down. `parallel_for` and `parallel_map` run a data-parallel loop
// in it and return when every item is done; `parallel_map` places result i at
// index i, so a pooled result always equals the sequential one. Exceptions
// thrown by an item propagate to the caller. Nested use (a pooled loop inside
// a pooled loop) is safe: the inner loop joins the same arena.
//
// Work handed to the pool must not touch Python objects.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

namespace thalren::parallel {

// Number of workers in the pool (at least 1).
std::size_t worker_count();

// The pool's arena.
oneapi::tbb::task_arena& arena();

// Calls fn(begin, end) on disjoint index ranges covering [0, n). `grain` is
// the smallest range worth handing to a worker.
template <class RangeFn>
void parallel_for_ranges(std::size_t n, RangeFn&& fn, std::size_t grain = 1) {
  if (n == 0) return;
  arena().execute([&] {
    oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<std::size_t>(0, n, grain),
                              [&](const oneapi::tbb::blocked_range<std::size_t>& r) {
                                fn(r.begin(), r.end());
                              });
  });
}

// Calls fn(i) for every i in [0, n).
template <class Fn>
void parallel_for(std::size_t n, Fn&& fn, std::size_t grain = 1) {
  parallel_for_ranges(
      n,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) fn(i);
      },
      grain);
}

// Returns {fn(0), fn(1), ..., fn(n-1)}, computed in the pool.
template <class T, class Fn>
std::vector<T> parallel_map(std::size_t n, Fn&& fn, std::size_t grain = 1) {
  std::vector<T> out(n);
  parallel_for(n, [&](std::size_t i) { out[i] = fn(i); }, grain);
  return out;
}

}  // namespace thalren::parallel
