#include "failing_allocation.hpp"

#include <dlfcn.h>

#include <limits>
#include <new>
#include <type_traits>

namespace {

constexpr std::size_t never = std::numeric_limits<std::size_t>::max();

// The smallest block this thread is refused.
thread_local std::size_t failing_from = never;

using OperatorNew = void* (*)(std::size_t);
static_assert(std::is_same_v<std::size_t, unsigned long>, "operator new(std::size_t) is _Znwm");

// The operator new this one stands in front of: the C++ library's, or a
// sanitizer's, which so still sees every block it will free.
OperatorNew next_operator_new() {
  static const auto next = reinterpret_cast<OperatorNew>(::dlsym(RTLD_NEXT, "_Znwm"));
  return next;
}

}  // namespace

namespace failing_allocation {

AtLeast::AtLeast(std::size_t bytes) { failing_from = bytes; }
AtLeast::~AtLeast() { failing_from = never; }

}  // namespace failing_allocation

// Replaced for the whole test binary, since a block cannot be refused
// anywhere else; only an AtLeast changes what it does.
void* operator new(std::size_t size) {
  if (size >= failing_from) throw std::bad_alloc();
  return next_operator_new()(size);
}
