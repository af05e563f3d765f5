#include "imaging/core/pxblocks.h"

#include "imaging/core/pxconfig.h"

#include <sys/mman.h>

#include <atomic>
#include <mutex>
#include <vector>

#include <cstddef>
#include <new>

namespace {

// Every block starts with this header, one cache line long, so that
// PxBlockFree knows how the block was made without a lookup table.
struct alignas(64) BlockHeader {
  uint64_t Magic;
  uint64_t MappedBytes;  // 0: from new[]
  void* Base;            // what new[] or mmap returned
  int64_t Bytes;         // as asked for
};

std::atomic<int64_t> liveBytes{0}, peakBytes{0};

uint8_t* Counted(BlockHeader* h) {
  const int64_t now = liveBytes.fetch_add(h->Bytes) + h->Bytes;
  int64_t peak = peakBytes.load();
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
  }
  return reinterpret_cast<uint8_t*>(h + 1);
}
static_assert(sizeof(BlockHeader) == 64);

constexpr uint64_t kMagic = 0x50784d656d426c6bULL;
constexpr size_t kHugePage = size_t(2) << 20;

#if !defined(__SANITIZE_ADDRESS__)
uint8_t* Mapped(size_t bytes) {
  // Rounded up to whole huge pages, and over-mapped by one so that the start
  // can be moved to a huge-page boundary (only aligned 2 MiB runs get one).
  const size_t length = (bytes + sizeof(BlockHeader) + kHugePage - 1) / kHugePage * kHugePage;
  const size_t mapped = length + kHugePage;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = aligned + length;
  if (start + mapped > end) munmap(reinterpret_cast<void*>(end), start + mapped - end);
  void* base = reinterpret_cast<void*>(aligned);
  // Both are hints: without them the block is ordinary memory, faulted in later.
#ifdef MADV_HUGEPAGE
  madvise(base, length, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
  madvise(base, length, MADV_POPULATE_WRITE);
#endif
  return Counted(new (base) BlockHeader{kMagic, length, base, int64_t(bytes)});
}

// Mid-sized blocks (a thumbnail, a store's memory copy) are mapped on their
// own as well: from the heap, thousands of them freed and made again in turn
// leave the heap holding far more than the few alive at a time.
uint8_t* MappedPages(size_t bytes) {
  const size_t length = (bytes + sizeof(BlockHeader) + 4095) / 4096 * 4096;
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  return Counted(new (base) BlockHeader{kMagic, length, base, int64_t(bytes)});
}
#endif

// Blocks kept for reuse while a TPxBlockReuse lives: at most this many.
constexpr size_t kKeptBlocks = 4;

std::mutex keptMutex;
int reuseScopes = 0;
std::vector<BlockHeader*> kept;

#if !defined(__SANITIZE_ADDRESS__)
// The kept block that holds `bytes` with the least room to spare (at most
// as much again), taken out of the kept ones; nullptr when none does.
BlockHeader* TakeKept(int64_t bytes) {
  std::lock_guard<std::mutex> lock(keptMutex);
  size_t best = kept.size();
  for (size_t i = 0; i < kept.size(); ++i) {
    const int64_t room = int64_t(kept[i]->MappedBytes) - int64_t(sizeof(BlockHeader));
    if (room < bytes || room / 2 > bytes) continue;
    if (best == kept.size() || kept[i]->MappedBytes < kept[best]->MappedBytes) best = i;
  }
  if (best == kept.size()) return nullptr;
  BlockHeader* h = kept[best];
  kept.erase(kept.begin() + std::ptrdiff_t(best));
  return h;
}
#endif

// Keeps a freed mapped block for reuse when a scope asks for that and there is room.
bool Keep(BlockHeader* h) {
  std::lock_guard<std::mutex> lock(keptMutex);
  if (reuseScopes == 0 || kept.size() >= kKeptBlocks) return false;
  kept.push_back(h);
  return true;
}

}  // namespace

TPxBlockReuse::TPxBlockReuse() {
  std::lock_guard<std::mutex> lock(keptMutex);
  ++reuseScopes;
}

TPxBlockReuse::~TPxBlockReuse() {
  std::vector<BlockHeader*> drop;
  {
    std::lock_guard<std::mutex> lock(keptMutex);
    if (--reuseScopes == 0) drop.swap(kept);
  }
  for (BlockHeader* h : drop) munmap(h->Base, h->MappedBytes);
}

uint8_t* PxBlockAlloc(int64_t bytes) {
  // No block above the largest image (and its alignment slack) is ever asked for.
  if (bytes <= 0 || bytes > kPxMaxImageBytes + kPxMappedBlockBytes) return nullptr;
#if !defined(__SANITIZE_ADDRESS__)
  // Under AddressSanitizer every block stays on the heap, where overruns are caught.
  if (bytes >= kPxMappedBlockBytes) {
    if (BlockHeader* h = TakeKept(bytes)) {
      h->Bytes = bytes;
      return Counted(h);
    }
    if (uint8_t* p = Mapped(size_t(bytes))) return p;
    // No mapping: the heap may still have it.
  } else if (bytes >= kPxPageMappedBlockBytes) {
    if (uint8_t* p = MappedPages(size_t(bytes))) return p;
  }
#endif
  void* base = ::operator new(size_t(bytes) + sizeof(BlockHeader), std::align_val_t(64), std::nothrow);
  if (!base) return nullptr;
  return Counted(new (base) BlockHeader{kMagic, 0, base, bytes});
}

void PxBlockFree(uint8_t* block) {
  if (!block) return;
  BlockHeader* h = reinterpret_cast<BlockHeader*>(block) - 1;
  liveBytes.fetch_sub(h->Bytes);
  if (h->MappedBytes != 0) {
    // Only blocks as large as the mapped ones are kept for reuse.
    if (h->MappedBytes < uint64_t(kPxMappedBlockBytes) || !Keep(h)) munmap(h->Base, h->MappedBytes);
  } else {
    ::operator delete(h->Base, std::align_val_t(64), std::nothrow);
  }
}

int64_t PxBlockLiveBytes() { return liveBytes.load(); }

int64_t PxBlockPeakBytes() { return peakBytes.load(); }

void PxBlockResetPeak() { peakBytes.store(liveBytes.load()); }
