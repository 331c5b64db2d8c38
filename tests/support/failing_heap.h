// The test host program's heap, which can fail one chosen allocation of a loaded module the way an
// exhausted heap fails it.
#pragma once

#include <cstddef>

namespace quarnel::testing {

// The next aligned allocation of `bytes` bytes fails. On Windows only the modules loaded so far
// are reached; false when none of them calls the runtime's aligned allocator.
bool failNextAlignedAllocation(std::size_t bytes);

}  // namespace quarnel::testing
