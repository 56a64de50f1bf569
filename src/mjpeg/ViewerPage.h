// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quelmor::net {

// The page reads "/jpg" itself instead of leaving it to an <img>: it then sees
// each part arrive and the stream end, and opens it again after a source switch
// or a restart without a reload.
inline constexpr const char* kViewerPage = R"html(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Viewer</title><style>
html,body{margin:0;height:100%;overflow:hidden;background:#000}
img,canvas{display:block;width:100vw;height:100vh;object-fit:contain}
img:not([src]){visibility:hidden}
#note{position:fixed;left:8px;bottom:8px;padding:2px 6px;font:12px sans-serif;color:#bbb;background:#222c;border-radius:3px}
</style></head><body>
<canvas id="picture" width="0" height="0"></canvas><div id="note" hidden>reconnecting&#8230;</div>
<script>
// Reads /jpg part by part and shows each picture; a stream that ends, fails
// or carries no part for 10 s is opened again after a growing delay.
(function () {
  var FIRST_DELAY = 500, MAX_DELAY = 5000, STALL = 10000, MAX_HEADER = 4096, MAX_PART = 64 << 20;
  var canvas = document.getElementById('picture'), note = document.getElementById('note');
  var delay = FIRST_DELAY, lastPart = 0, stream = null, loading = false, next = null;

  function retry() {
    note.hidden = false;
    setTimeout(open, delay);
    delay = Math.min(delay * 2, MAX_DELAY);
  }
  if (!(window.fetch && window.ReadableStream && window.AbortController && window.createImageBitmap)) {
    var img = document.createElement('img');
    img.alt = 'MJPEG Stream';
    img.onerror = function () { note.hidden = false; setTimeout(function () { img.src = '/jpg'; }, MAX_DELAY); };
    img.onload = function () { note.hidden = true; };
    img.src = '/jpg';
    canvas.replaceWith(img);
    return;
  }
  // At most one picture decodes at a time and only the newest waits, so a
  // slow page skips pictures rather than piling them up. Drawn on a canvas
  // and closed at once, a picture holds no memory after the next one: images
  // of their own would sit in the browser's image cache, about 500 MB of it
  // in Chromium for 1280 x 1024 pictures.
  function show(part) {
    next = part;
    if (loading) return;
    loading = true;
    var picture = next;
    next = null;
    createImageBitmap(picture).then(function (bitmap) {
      if (canvas.width != bitmap.width || canvas.height != bitmap.height) {
        canvas.width = bitmap.width;
        canvas.height = bitmap.height;
      }
      canvas.getContext('2d').drawImage(bitmap, 0, 0);
      bitmap.close();
    }, function () {}).then(function () {
      loading = false;
      if (next) show(next);
    });
  }
  function headerEnd(bytes) {
    for (var i = 3; i < bytes.length; i++)
      if (bytes[i] == 10 && bytes[i - 1] == 13 && bytes[i - 2] == 10 && bytes[i - 3] == 13) return i + 1;
    return -1;
  }
  function open() {
    var controller = new AbortController(), chunks = [], size = 0, bodyStart = 0, partEnd = 0;
    stream = controller;
    lastPart = Date.now();
    function fail() {
      controller.abort();
      if (stream !== controller) return;
      stream = null;
      retry();
    }
    function joined() {
      var all = new Uint8Array(size), at = 0;
      chunks.forEach(function (chunk) { all.set(chunk, at); at += chunk.length; });
      chunks = [all];
      return all;
    }
    // Takes the bytes of the stream; false when they cannot be parts.
    function take(bytes) {
      chunks.push(bytes);
      size += bytes.length;
      for (;;) {
        if (!partEnd) {
          var all = joined(), end = headerEnd(all);
          if (end < 0 && size <= MAX_HEADER) return true;
          if (end < 0 || end > MAX_HEADER) return false;
          var length = /content-length:\s*(\d+)/i.exec(String.fromCharCode.apply(null, all.subarray(0, end)));
          if (!length || +length[1] > MAX_PART) return false;
          bodyStart = end;
          partEnd = end + +length[1];
        }
        if (size < partEnd) return true;
        var part = joined();
        show(new Blob([part.subarray(bodyStart, partEnd)], {type: 'image/jpeg'}));
        chunks = [part.subarray(partEnd)];
        size -= partEnd;
        partEnd = 0;
        lastPart = Date.now();
        delay = FIRST_DELAY;
        note.hidden = true;
      }
    }
    fetch('/jpg', {signal: controller.signal, cache: 'no-store'}).then(function (response) {
      if (!response.ok || !response.body) return fail();
      var reader = response.body.getReader();
      (function pump() {
        reader.read().then(function (result) {
          if (result.done || !take(result.value)) return fail();
          pump();
        }).catch(fail);
      })();
    }).catch(fail);
  }
  setInterval(function () {
    if (stream && Date.now() - lastPart > STALL) stream.abort();
  }, 1000);
  open();
})();
</script></body></html>)html";

}  // namespace quelmor::net
