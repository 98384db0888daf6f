#include <malloc.h>

#include "util/ProcessMemory.hpp"

namespace fsys {

void BoundAllocatorCaches() {
  // Setting these fixes them: glibc no longer raises the thresholds after
  // each big block freed (up to 32 MB), which is what kept memory.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 256 * 1024);
  mallopt(M_ARENA_MAX, 2);
}

}  // namespace fsys
