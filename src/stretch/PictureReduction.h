// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "stretch/PictureBuffer.h"

// Reduces an 8-bit picture by `factor` (2, 4 or 8): each pixel of the result
// is the mean of a factor x factor block, rounded to nearest; the blocks on
// the right and bottom edges average the pixels they have. The result has
// each side divided by the factor, rounded up, and the picture's channels.
//
// Null for a null picture, another factor, or when memory runs out; no
// exception leaves it.
//
// Threads: reentrant; the rows are spread over QThreadPool::globalInstance()
// (see runInBands), which only read `picture`.
PictureBuffer reducePicture(const PictureBuffer& picture, int factor);
