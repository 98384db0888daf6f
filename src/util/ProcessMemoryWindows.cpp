#include "util/ProcessMemory.hpp"

namespace fsys {

// The Windows heap gives freed memory back by itself.
void BoundAllocatorCaches() {}

}  // namespace fsys
