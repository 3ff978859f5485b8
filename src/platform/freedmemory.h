#pragma once

// Hands the heap's free pages back to the system. glibc keeps freed memory for reuse, in each thread's arena,
// and gives back only what lies at the top of a heap, so one large answer would keep the resident size up for
// good. Takes a few milliseconds: call it after a large allocation was let go, not for every request.
void releaseFreedMemory();
