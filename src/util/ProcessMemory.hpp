#pragma once

// How the process's allocator keeps memory it no longer uses.
namespace fsys {

// Called first thing in main, before any thread: memory freed by a
// long-running service goes back to the system instead of staying with the
// allocator. With glibc, big blocks (a log file's text, a burst of messages)
// always come from the system and go back whole, the heap gives back what
// it has free beyond a little, and the threads share two arenas instead of
// one each; without it a steady load left resident memory higher after
// every burst. Nothing on hosts whose allocator needs no such help.
void BoundAllocatorCaches();

}  // namespace fsys
