#pragma once
// Memory that runs out on purpose, in one thread, for the paths that must
// meet std::bad_alloc where no test can exhaust the real memory.
#include <cstddef>

namespace failing_allocation {

// While it lives, every operator new of this thread for bytes or more throws
// std::bad_alloc; smaller blocks and other threads allocate as usual.
class AtLeast {
 public:
  explicit AtLeast(std::size_t bytes);
  ~AtLeast();
  AtLeast(const AtLeast&) = delete;
  AtLeast& operator=(const AtLeast&) = delete;
};

}  // namespace failing_allocation
