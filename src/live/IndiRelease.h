// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <basedevice.h>
#include <indiproperty.h>

// What libindiclient 1.9.9 keeps for ever unless its client lets go: it never
// frees a BLOB's bytes, and a device whose properties it still holds (each
// property keeps a handle to its device) is never freed either.
//
// Threads: only while the INDI receiving thread does not use the device or
// property: from one of its callbacks, or after the connection has ended.

// Frees the bytes of every element of a BLOB property; other types are left alone.
void releaseBlobBytes(INDI::Property property);

// Frees the device's BLOB bytes and drops every property the library holds for it.
void releaseDevice(INDI::BaseDevice device);
