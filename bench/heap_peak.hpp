#pragma once
// The high-water mark of the C++ heap over a stretch of code: every global
// operator new and delete of the benchmark binary is counted while a window
// is open, by the usable size of its block.
#include <cstddef>

namespace heap_peak {

// Opens a window: the bytes in use from here on count from zero.
void start();

// Closes the window; the most bytes it ever held above its start.
std::size_t stop();

}  // namespace heap_peak
