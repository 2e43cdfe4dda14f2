// Counts the process's heap in use and its high-water mark, for memory tests and benchmarks.
//
// Linking this library replaces malloc and friends for the whole process (Qt included) with
// thin wrappers over glibc's own allocator that keep a running total of usable bytes. Linux
// with glibc only, and never together with a sanitizer, which replaces them too.
#pragma once

#include <cstdint>

namespace kvr::test {

// Bytes currently allocated (usable sizes, so allocator rounding counts).
int64_t HeapInUseBytes();
// The largest HeapInUseBytes() since the last ResetHeapPeak().
int64_t HeapPeakBytes();
// Starts a new high-water mark at the current use.
void ResetHeapPeak();

}  // namespace kvr::test
