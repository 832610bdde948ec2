// The library's buffers seen from outside: a program that includes this
// header (in one source file) replaces operator new and delete, so every
// block carries its size and a test can count the live large ones, or the
// largest nothrow block asked for since a mark (ACE takes its message
// buffers with nothrow new[]). Not for Windows, where the DLL's
// allocations do not pass the program's operators.
#ifndef AGENT_TEST_LIVE_BLOCKS_H
#define AGENT_TEST_LIVE_BLOCKS_H

#ifndef _WIN32

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace fake {
namespace live_blocks {

constexpr std::size_t kHeader = alignof(std::max_align_t);
constexpr std::size_t kTrackedFrom = 100 * 1024;
// Sizes of the live blocks of kTrackedFrom bytes or more (0: free slot).
inline std::atomic<std::size_t> liveSizes[64];
inline std::atomic<std::size_t> largestNothrow{0};

// The first slot holding `from` holds `to` instead.
inline void Replace(std::size_t from, std::size_t to) noexcept
{
    for (auto &slot : liveSizes) {
        std::size_t expected = from;
        if (slot.compare_exchange_strong(expected, to))
            return;
    }
}

// Kept out of line: inlined into a delete-expression, the compiler would
// see the header arithmetic on a block it believes it allocated itself and
// warn about it.
__attribute__((noinline)) inline void *Allocate(std::size_t size, bool nothrow) noexcept
{
    char *block = static_cast<char *>(std::malloc(size + kHeader));
    if (block == nullptr)
        return nullptr;
    std::memcpy(block, &size, sizeof size);
    if (size >= kTrackedFrom)
        Replace(0, size);
    std::size_t seen = largestNothrow.load();
    while (nothrow && size > seen && !largestNothrow.compare_exchange_weak(seen, size)) {
    }
    return block + kHeader;
}

__attribute__((noinline)) inline void Free(void *p) noexcept
{
    if (p == nullptr)
        return;
    char *block = static_cast<char *>(p) - kHeader;
    std::size_t size;
    std::memcpy(&size, block, sizeof size);
    if (size >= kTrackedFrom)
        Replace(size, 0);
    std::free(block);
}

} // namespace live_blocks

// Live blocks of `from` (at least 100 KiB) to `to` bytes.
inline long LiveBlocks(std::size_t from, std::size_t to)
{
    long n = 0;
    for (auto &slot : live_blocks::liveSizes) {
        const std::size_t size = slot.load();
        n += size >= from && size <= to ? 1 : 0;
    }
    return n;
}

// The largest nothrow block asked for since the last call (0: none).
inline std::size_t TakeLargestNothrowBlock() { return live_blocks::largestNothrow.exchange(0); }

} // namespace fake

void *operator new(std::size_t size)
{
    if (void *p = fake::live_blocks::Allocate(size, false))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return ::operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept { return fake::live_blocks::Allocate(size, true); }
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    return fake::live_blocks::Allocate(size, true);
}
void operator delete(void *p) noexcept { fake::live_blocks::Free(p); }
void operator delete[](void *p) noexcept { fake::live_blocks::Free(p); }
void operator delete(void *p, std::size_t) noexcept { fake::live_blocks::Free(p); }
void operator delete[](void *p, std::size_t) noexcept { fake::live_blocks::Free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { fake::live_blocks::Free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { fake::live_blocks::Free(p); }

#endif

#endif
