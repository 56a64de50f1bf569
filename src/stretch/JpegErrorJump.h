// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

// libjpeg reports a fatal error through error_exit, which must not return:
// this record makes it jump back to returnPoint, set by the caller's setjmp.
// The manager comes first, so libjpeg's pointer to it is also a pointer to
// the record.
struct JpegErrorJump {
    jpeg_error_mgr manager;
    std::jmp_buf returnPoint;

    // libjpeg's standard manager, made to jump back; for the object's `err`.
    jpeg_error_mgr* jumpOnError()
    {
        jpeg_std_error(&manager);
        manager.error_exit = jumpBack;
        return &manager;
    }

    // The record whose manager `info` reports to.
    static JpegErrorJump& of(j_common_ptr info) { return *reinterpret_cast<JpegErrorJump*>(info->err); }

    [[noreturn]] static void jumpBack(j_common_ptr info) { std::longjmp(of(info).returnPoint, 1); }
};
