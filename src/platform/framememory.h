#pragma once

#include <QImage>
#include <QSize>

// Memory for a whole screen's pixels, mapped in one go. The first touch of each 4 KiB page of fresh memory is a
// page fault, and under a hypervisor each one can cost tens of microseconds: a 3840 x 2160 frame is 8100 pages,
// which written one by one took longer than everything else the overlay does. Here the kernel maps the whole
// frame at once, in 2 MiB pages where it has them, before anybody writes to it; the memory goes back to the
// system as soon as the last image that shares it goes.
namespace FrameMemory {

// A new image of `size` in `format` (32 bits per pixel formats only), its pixels undefined (zeroed in
// practice); null when size is empty or the memory cannot be had.
QImage allocate(QSize size, QImage::Format format);

} // namespace FrameMemory
