#include "platform/framememory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace FrameMemory {

namespace {

constexpr size_t hugePage = size_t(2) << 20;

#ifndef MADV_POPULATE_WRITE
constexpr int MADV_POPULATE_WRITE = 23; // Linux 5.14
#endif

struct Mapping {
    void* start;
    size_t length;
};

void unmap(void* info)
{
    auto* mapping = static_cast<Mapping*>(info);
    munmap(mapping->start, mapping->length);
    delete mapping;
}

} // namespace

QImage allocate(QSize size, QImage::Format format)
{
    if (size.isEmpty() || QImage::toPixelFormat(format).bitsPerPixel() != 32)
        return {};
    const qsizetype bytesPerLine = qsizetype(size.width()) * 4;
    const size_t bytes = size_t(bytesPerLine) * size_t(size.height());
    // Rounded up to whole 2 MiB pages and placed on such a boundary, so that every part of it can be one.
    const size_t length = (bytes + hugePage - 1) & ~(hugePage - 1);
    void* reserved = mmap(nullptr, length + hugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reserved == MAP_FAILED)
        return {};
    const auto base = reinterpret_cast<std::uintptr_t>(reserved);
    const std::uintptr_t aligned = (base + hugePage - 1) & ~std::uintptr_t(hugePage - 1);
    if (aligned > base)
        munmap(reserved, aligned - base);
    if (const size_t tail = base + length + hugePage - (aligned + length); tail > 0)
        munmap(reinterpret_cast<void*>(aligned + length), tail);
    void* start = reinterpret_cast<void*>(aligned);
    // Both are hints: a kernel without them (or without huge pages) faults the pages in as they are written.
    madvise(start, length, MADV_HUGEPAGE);
    madvise(start, length, MADV_POPULATE_WRITE);
    return QImage(static_cast<uchar*>(start), size.width(), size.height(), bytesPerLine, format, unmap,
        new Mapping { start, length });
}

} // namespace FrameMemory
