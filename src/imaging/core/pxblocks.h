// Pixel memory blocks: small ones from the heap, large ones mapped on their
// own with transparent huge pages and faulted in up front.
//
// Why: a fresh 70 MB picture buffer faults in 4 KiB at a time, and on a
// virtual machine each of those ~17,000 first touches is expensive (about
// 0.2 s for one 6000 x 4000 buffer, more than decoding into it). Huge pages
// make it 512 times fewer faults, and faulting them in at allocation keeps
// the cost out of the hot loops (where every thread would take it in turn).
#pragma once

#include <cstdint>

// Blocks of at least this many bytes are mapped with huge pages.
inline constexpr int64_t kPxMappedBlockBytes = int64_t(4) << 20;
// Blocks from this size up to the mapped ones get whole pages of their own
// (no huge pages), so that freeing them gives the memory back at once.
inline constexpr int64_t kPxPageMappedBlockBytes = int64_t(32) << 10;

// A block of `bytes` bytes aligned to 64, or nullptr when it cannot be had.
uint8_t* PxBlockAlloc(int64_t bytes);
// Frees a block of PxBlockAlloc; nullptr does nothing.
void PxBlockFree(uint8_t* block);

// While one of these lives (on any thread), mapped blocks that are freed are
// kept, a few of them, and handed out again to requests that they hold
// without wasting more than half: a fresh block costs its zeroing by the
// kernel (about 0.7 ms per MB on a virtual machine, more than some steps
// that fill it). Contents of a block handed out again are left as they were.
// The kept blocks are unmapped when the last one ends.
class TPxBlockReuse {
 public:
  TPxBlockReuse();
  ~TPxBlockReuse();
  TPxBlockReuse(const TPxBlockReuse&) = delete;
  TPxBlockReuse& operator=(const TPxBlockReuse&) = delete;
};

// Bytes of pixel blocks held now, and the most held at once since the last
// PxBlockResetPeak: what a picture operation costs in memory.
int64_t PxBlockLiveBytes();
int64_t PxBlockPeakBytes();
void PxBlockResetPeak();
