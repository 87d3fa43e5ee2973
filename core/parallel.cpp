#include "core/parallel.hpp"

#include <cstdlib>
#include <charconv>
#include <cstring>
#include <string_view>
#include <thread>

namespace thalren::parallel {
namespace {

std::size_t configured_workers() {
  if (const char* text = std::getenv("THALREN_NATIVE_NUM_THREADS")) {
    std::string_view sv(text);
    unsigned long value = 0;
    auto [ptr, ec] = std::from_chars(sv.data(), sv.data() + sv.size(), value);
    if (ec == std::errc() && ptr == sv.data() + sv.size() && value >= 1 && value <= 1024) {
      return value;
    }
  }
  int n = oneapi::tbb::info::default_concurrency();
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

}  // namespace

oneapi::tbb::task_arena& arena() {
  // Leaked on purpose: the pool lives until the process ends and must not be
  // torn down by static destructors while another thread still uses it.
  static oneapi::tbb::task_arena* pool = [] {
    auto* a = new oneapi::tbb::task_arena(static_cast<int>(configured_workers()));
    a->initialize();
    return a;
  }();
  return *pool;
}

std::size_t worker_count() { return static_cast<std::size_t>(arena().max_concurrency()); }

}  // namespace thalren::parallel
