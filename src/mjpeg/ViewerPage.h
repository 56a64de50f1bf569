// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quelmor::net {

// The page reads "/jpg" itself instead of leaving it to an <img>: it then sees
// each part arrive and the stream end, and opens it again after a source switch
// or a restart without a reload. It asks for the picture at the size it shows
// ("?width="), and reads "/status" for its info line and the focus trend.
// The script keeps to ES5 syntax, so that old browsers run it as far as the
// fallback <img>.
inline constexpr const char* kViewerPage = R"html(<!DOCTYPE html>
<html><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width,initial-scale=1,maximum-scale=1,user-scalable=no">
<title>Viewer</title><style>
html,body{margin:0;height:100%;overflow:hidden;overscroll-behavior:none;background:#000;color:#ddd;font:14px/1.3 sans-serif}
[hidden]{display:none!important}
#view{position:fixed;top:0;right:0;bottom:0;left:0;overflow:hidden;touch-action:none;user-select:none;-webkit-user-select:none;cursor:grab}
#picture{position:absolute;left:0;top:0;transform-origin:0 0}
#view img{display:block;width:100%;height:100%;object-fit:contain}
img:not([src]){visibility:hidden}
#overlay{position:fixed;top:0;left:0;right:0;display:flex;flex-direction:column;align-items:flex-end;pointer-events:none}
#bar{align-self:stretch;display:flex;flex-wrap:wrap;align-items:center;gap:4px 8px;padding:4px 8px;background:#000b;pointer-events:auto;user-select:none;-webkit-user-select:none}
#info{flex:1 1 10em;min-width:0;overflow-wrap:anywhere}
#focus{display:flex;align-items:center;gap:6px;white-space:nowrap}
#trend{width:80px;height:28px}
button{min-width:44px;min-height:44px;padding:0 10px;font:inherit;color:#ddd;background:#333;border:1px solid #666;border-radius:6px;touch-action:manipulation}
button[aria-pressed=true]{background:#264;border-color:#5a7}
button:disabled{opacity:.4}
#histogram{display:block;margin:8px;width:300px;max-width:calc(100% - 16px);height:auto;border:1px solid #555;background:#000}
#note{position:fixed;left:8px;bottom:8px;padding:2px 6px;font:12px sans-serif;color:#bbb;background:#222c;border-radius:3px}
</style></head><body>
<div id="view"><canvas id="picture" width="0" height="0"></canvas></div>
<div id="overlay"><div id="bar"><span id="info"></span>
<span id="focus" title="sharpness of the picture: higher is sharper" hidden><span id="sharpness"></span><canvas id="trend" width="0" height="0"></canvas></span>
<button id="zoom" type="button" title="one picture pixel per screen pixel, or the whole picture">1:1</button>
<button id="histogramButton" type="button" aria-pressed="false">Histogram</button></div>
<canvas id="histogram" width="0" height="0" hidden></canvas></div>
<div id="note" hidden>reconnecting&#8230;</div>
<script>
// Reads /jpg part by part and shows each picture; a stream that ends, fails
// or carries no part for 10 s is opened again after a growing delay, which
// starts over after each part.
(function () {
  var FIRST_DELAY = 500, MAX_DELAY = 5000, STALL = 10000, MAX_HEADER = 4096, MAX_PART = 64 << 20;
  // A zoom or pan settles for this long before the stream is opened at a new size.
  var RESIZE_AFTER = 300;
  // A picture pixel never grows beyond this many CSS pixels.
  var MAX_SCALE = 16;
  var STATUS_EVERY = 1000, STATUS_TIMEOUT = 3000;
  // The trend holds a minute at one value a second, and spans at least 2 % of its largest value.
  var TREND_LENGTH = 60, TREND_WIDTH = 80, TREND_HEIGHT = 28, TREND_LEAST_SPAN = 0.02;
  var TAP_MS = 300, DOUBLE_TAP_MS = 400, TAP_SLOP = 12, HISTOGRAM_KEY = 'viewer.histogram';
  function element(id) { return document.getElementById(id); }
  var view = element('view'), canvas = element('picture'), note = element('note');

  if (!(window.fetch && window.ReadableStream && window.AbortController && window.createImageBitmap)) {
    var img = document.createElement('img');
    img.alt = 'MJPEG Stream';
    img.onerror = function () { note.hidden = false; setTimeout(function () { img.src = '/jpg'; }, MAX_DELAY); };
    img.onload = function () { note.hidden = true; };
    img.src = '/jpg';
    view.replaceChild(img, canvas);
    element('overlay').hidden = true;
    return;
  }
  function ratio() { return window.devicePixelRatio || 1; }

  // Reads the multipart stream at `path` and hands each part to onPart as a
  // JPEG blob; calls onEnd once when the stream ends, fails, is aborted or
  // carries something that is no part. Returns the stream's controller.
  function readParts(path, onPart, onEnd) {
    var controller = new AbortController(), chunks = [], size = 0, bodyStart = 0, partEnd = 0, ended = false;
    function fail() {
      controller.abort();
      if (ended) return;
      ended = true;
      onEnd();
    }
    function joined() {
      var all = new Uint8Array(size), at = 0;
      chunks.forEach(function (chunk) { all.set(chunk, at); at += chunk.length; });
      chunks = [all];
      return all;
    }
    function headerEnd(bytes) {
      for (var i = 3; i < bytes.length; i++)
        if (bytes[i] == 10 && bytes[i - 1] == 13 && bytes[i - 2] == 10 && bytes[i - 3] == 13) return i + 1;
      return -1;
    }
    // Takes the bytes of the stream; false when they cannot be parts.
    function take(bytes) {
      chunks.push(bytes);
      size += bytes.length;
      for (;;) {
        if (controller.signal.aborted) return false;
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
        var whole = joined(), body = whole.subarray(bodyStart, partEnd);
        chunks = [whole.subarray(partEnd)];
        size -= partEnd;
        partEnd = 0;
        onPart(new Blob([body], {type: 'image/jpeg'}));
      }
    }
    fetch(path, {signal: controller.signal, cache: 'no-store'}).then(function (response) {
      if (!response.ok || !response.body) return fail();
      var reader = response.body.getReader();
      (function pump() {
        reader.read().then(function (result) {
          if (result.done || !take(result.value)) return fail();
          pump();
        }).catch(fail);
      })();
    }).catch(fail);
    return controller;
  }

  // A stream of `path()` that is opened again after a growing delay while it
  // is wanted; onRetry is told when it waits for the next try.
  function Feed(path, onPart, onRetry) {
    var self = this;
    self.stream = null;
    self.lastPart = 0;
    self.wanted = false;
    var delay = FIRST_DELAY, timer = 0;
    self.open = function () {
      timer = 0;
      var controller = readParts(path(), function (part) {
        if (self.stream !== controller) return;
        self.lastPart = Date.now();
        delay = FIRST_DELAY;
        onPart(part);
      }, function () {
        if (self.stream !== controller) return;
        self.stream = null;
        if (!self.wanted) return;
        onRetry();
        timer = setTimeout(self.open, delay);
        delay = Math.min(delay * 2, MAX_DELAY);
      });
      self.stream = controller;
      self.lastPart = Date.now();
    };
    self.start = function () {
      self.wanted = true;
      if (!self.stream && !timer) self.open();
    };
    self.stop = function () {
      self.wanted = false;
      clearTimeout(timer);
      timer = 0;
      var stream = self.stream;
      self.stream = null;
      if (stream) stream.abort();
    };
    // At once, for a new size; a stream that waits for its next try takes
    // the new path then.
    self.reopen = function () {
      var stream = self.stream;
      if (!stream) return;
      self.stream = null;
      stream.abort();
      self.open();
    };
  }

  // At most one picture decodes at a time and only the newest waits, so a
  // slow page skips pictures rather than piling them up. Drawn on a canvas
  // and closed at once, a picture holds no memory after the next one: images
  // of their own would sit in the browser's image cache, about 500 MB of it
  // in Chromium for 1280 x 1024 pictures. The histogram is drawn the same way.
  function Painter(target, resized) {
    var loading = false, next = null;
    this.show = function show(part) {
      next = part;
      if (loading) return;
      loading = true;
      var picture = next;
      next = null;
      createImageBitmap(picture).then(function (bitmap) {
        var newSize = target.width != bitmap.width || target.height != bitmap.height;
        if (newSize) {
          target.width = bitmap.width;
          target.height = bitmap.height;
        }
        target.getContext('2d').drawImage(bitmap, 0, 0);
        bitmap.close();
        if (newSize) resized();
      }, function () {}).then(function () {
        loading = false;
        if (next) show(next);
      });
    };
  }

  // --- Zoom and pan. The canvas is laid out at the picture's full size in
  // CSS pixels and scaled by a transform, whatever size the server sent, so
  // the view stays put when a stream of another size takes over.
  var fullWidth = 0, fullHeight = 0;  // from /status; 0 while unknown
  var statusMissing = false;          // the server has no /status: ask for full size
  var scale = 1, left = 0, top = 0, fitted = true, placedWidth = 0, placedHeight = 0;
  var requested = 0, sizeTimer = 0;   // the width the open stream asked for; 0: full size
  var zoomButton = element('zoom');

  // The size the view lays out: the full size when the picture shown is that
  // size reduced by one of the server's factors, else the picture's own.
  function layoutSize() {
    var w = canvas.width, h = canvas.height;
    if (fullWidth && (!w || [1, 2, 4, 8].some(function (f) {
      return Math.ceil(fullWidth / f) == w && Math.ceil(fullHeight / f) == h;
    }))) return {width: fullWidth, height: fullHeight};
    return w ? {width: w, height: h} : null;
  }
  function fitScale(size) { return Math.min(view.clientWidth / size.width, view.clientHeight / size.height); }
  // The server's choice for a viewer that asks for `width` pixels: the
  // largest reduction whose width is still at least that many.
  function factorFor(width) {
    var chosen = 1;
    [2, 4, 8].forEach(function (f) { if (fullWidth && width && Math.ceil(fullWidth / f) >= width) chosen = f; });
    return chosen;
  }
  // The width to ask for: as many pixels as the picture covers on the screen.
  function wantedWidth() {
    if (statusMissing) return 0;
    var size = layoutSize(), shown = size && fullWidth ? size.width * scale : view.clientWidth;
    var width = Math.max(1, Math.round(shown * ratio()));
    return fullWidth && width >= fullWidth ? 0 : width;
  }
  function streamPath() {
    requested = wantedWidth();
    return requested ? '/jpg?width=' + requested : '/jpg';
  }
  // Opens the stream again only when the server would send another size.
  function checkSize() {
    sizeTimer = 0;
    if (!fullWidth && !statusMissing) return;
    if (statusMissing ? requested != 0 : factorFor(wantedWidth()) != factorFor(requested)) main.reopen();
  }
  function place() {
    var size = layoutSize();
    if (!size) return;
    if (size.width != placedWidth || size.height != placedHeight) {
      fitted = true;
      placedWidth = size.width;
      placedHeight = size.height;
      canvas.style.width = size.width + 'px';
      canvas.style.height = size.height + 'px';
    }
    var fit = fitScale(size), vw = view.clientWidth, vh = view.clientHeight;
    scale = fitted ? fit : Math.min(Math.max(scale, fit), Math.max(fit, MAX_SCALE));
    fitted = scale <= fit;
    var w = size.width * scale, h = size.height * scale;
    left = w <= vw ? (vw - w) / 2 : Math.min(0, Math.max(vw - w, left));
    top = h <= vh ? (vh - h) / 2 : Math.min(0, Math.max(vh - h, top));
    canvas.style.transform = 'translate(' + left + 'px,' + top + 'px) scale(' + scale + ')';
    // The camera's own pixels, not blurred, once one covers a screen pixel.
    canvas.style.imageRendering = scale * size.width / canvas.width * ratio() >= 1 ? 'pixelated' : 'auto';
    zoomButton.textContent = scale * ratio() >= 0.999 && !fitted ? 'Fit' : '1:1';
    zoomButton.disabled = fitted && fit * ratio() >= 0.999;
    clearTimeout(sizeTimer);
    sizeTimer = setTimeout(checkSize, RESIZE_AFTER);
  }
  function zoomAt(x, y, factor) {
    var size = layoutSize();
    if (!size) return;
    var fit = fitScale(size), target = Math.min(Math.max(scale * factor, fit), Math.max(fit, MAX_SCALE));
    left = x - (x - left) * target / scale;
    top = y - (y - top) * target / scale;
    scale = target;
    fitted = false;
    place();
  }
  function moveBy(dx, dy) {
    left += dx;
    top += dy;
    fitted = false;
    place();
  }
  // One full-size picture pixel on one screen pixel around (x, y), or the
  // whole picture again from there or from closer.
  function toggleOneToOne(x, y) {
    if (!fitted && scale * ratio() >= 0.999) {
      fitted = true;
      place();
    } else {
      zoomAt(x, y, 1 / ratio() / scale);
    }
  }

  var pointers = {}, tap = null, lastTap = null, tappedAt = 0;
  view.addEventListener('wheel', function (e) {
    e.preventDefault();
    var pixels = e.deltaY * (e.deltaMode == 1 ? 16 : e.deltaMode == 2 ? view.clientHeight : 1);
    zoomAt(e.clientX, e.clientY, Math.exp(-pixels / 300));
  }, {passive: false});
  view.addEventListener('pointerdown', function (e) {
    if (e.pointerType == 'mouse' && e.button != 0) return;
    try { view.setPointerCapture(e.pointerId); } catch (error) {}
    pointers[e.pointerId] = {x: e.clientX, y: e.clientY};
    tap = Object.keys(pointers).length == 1 ? {x: e.clientX, y: e.clientY, time: Date.now()} : null;
  });
  view.addEventListener('pointermove', function (e) {
    var p = pointers[e.pointerId];
    if (!p) return;
    if (tap && Math.abs(e.clientX - tap.x) + Math.abs(e.clientY - tap.y) > TAP_SLOP) tap = null;
    var ids = Object.keys(pointers);
    if (ids.length == 1) {
      moveBy(e.clientX - p.x, e.clientY - p.y);
    } else if (ids.length == 2) {
      // Pinch: the picture follows the midpoint and scales with the distance.
      var o = pointers[ids[0] == String(e.pointerId) ? ids[1] : ids[0]];
      var before = Math.hypot(p.x - o.x, p.y - o.y), after = Math.hypot(e.clientX - o.x, e.clientY - o.y);
      var x = (e.clientX + o.x) / 2, y = (e.clientY + o.y) / 2;
      moveBy(x - (p.x + o.x) / 2, y - (p.y + o.y) / 2);
      if (before > 0 && after > 0) zoomAt(x, y, after / before);
    }
    p.x = e.clientX;
    p.y = e.clientY;
  });
  function release(e) {
    if (!pointers[e.pointerId]) return;
    delete pointers[e.pointerId];
    var now = Date.now();
    if (e.type == 'pointerup' && e.pointerType != 'mouse' && tap && now - tap.time < TAP_MS) {
      if (lastTap && tap.time - lastTap.time < DOUBLE_TAP_MS &&
          Math.abs(tap.x - lastTap.x) + Math.abs(tap.y - lastTap.y) < 4 * TAP_SLOP) {
        toggleOneToOne(tap.x, tap.y);
        tappedAt = now;
        lastTap = null;
      } else {
        lastTap = tap;
      }
    }
    tap = null;
  }
  view.addEventListener('pointerup', release);
  view.addEventListener('pointercancel', release);
  view.addEventListener('dblclick', function (e) {
    // Touch browsers may follow a double tap with a double click of their own.
    if (Date.now() - tappedAt > 2 * DOUBLE_TAP_MS) toggleOneToOne(e.clientX, e.clientY);
  });
  // Safari's page zoom, which ignores user-scalable.
  document.addEventListener('gesturestart', function (e) { e.preventDefault(); });
  zoomButton.addEventListener('click', function () {
    toggleOneToOne(view.clientWidth / 2, view.clientHeight / 2);
  });
  window.addEventListener('resize', place);

  // --- The picture stream.
  var painter = new Painter(canvas, place);
  var main = new Feed(streamPath, function (part) {
    note.hidden = true;
    painter.show(part);
  }, function () { note.hidden = false; });
  setInterval(function () {
    if (main.stream && Date.now() - main.lastPart > STALL) main.stream.abort();
  }, 1000);
  main.start();

  // --- The histogram inset, read while it is switched on.
  var histogram = element('histogram'), histogramButton = element('histogramButton');
  var histogramPainter = new Painter(histogram, function () {});
  var histogramFeed = new Feed(function () { return '/histogram'; }, function (part) {
    histogram.hidden = false;
    histogramPainter.show(part);
  }, function () { histogram.hidden = true; });
  function showHistogram(on) {
    histogramButton.setAttribute('aria-pressed', String(on));
    if (on) {
      histogramFeed.start();
    } else {
      histogramFeed.stop();
      histogram.hidden = true;
    }
    try { localStorage.setItem(HISTOGRAM_KEY, on ? 'on' : ''); } catch (error) {}
  }
  histogramButton.addEventListener('click', function () { showHistogram(!histogramFeed.wanted); });
  try { if (localStorage.getItem(HISTOGRAM_KEY)) showHistogram(true); } catch (error) {}

  // --- The info line and the focus trend, from /status.
  var info = element('info'), focus = element('focus'), sharpness = element('sharpness'), trend = element('trend');
  var trendValues = [], trendReceived = null;
  function quoted(name) { return '"' + name + '"'; }
  function waitingFor(status) {
    if (status.connection == 'no-server') return 'waiting for the INDI server';
    if (status.connection == 'no-such-device') {
      var devices = status.devices || [];
      return 'no camera ' + quoted(status.device) + ' on the INDI server (it has ' +
          (devices.length ? devices.map(quoted).join(', ') : 'none') + ')';
    }
    if (status.connection == 'waiting-for-picture') return 'waiting for the first picture';
    return '';
  }
  function rate(fps) {
    return fps >= 1 ? fps.toFixed(fps < 10 ? 1 : 0) + ' pictures/s' : 'one every ' + Math.round(1 / fps) + ' s';
  }
  function ago(seconds) {
    var s = Math.max(0, Math.round(seconds));
    return s < 100 ? s + ' s ago' : s < 6000 ? Math.round(s / 60) + ' min ago' : Math.round(s / 3600) + ' h ago';
  }
  function describe(status) {
    var parts = [], picture = status.picture, ser = status.ser;
    if (status.source == 'none') parts.push('no source');
    if (status.source == 'live') parts.push(waitingFor(status));
    // Frames count from 0 over the bus, from 1 for the eye.
    if (status.source == 'ser' && ser)
      parts.push(ser.file + (ser.frame >= 0 ? ', frame ' + (ser.frame + 1) + ' of ' + ser.frames : '') +
                 (ser.playing ? '' : ', paused'));
    if (picture) {
      parts.push(picture.width + ' \u00d7 ' + picture.height);
      if (picture.fps > 0) parts.push(rate(picture.fps));
      parts.push(ago(picture.age));
    }
    return parts.filter(Boolean).join(' \u00b7 ');
  }
  function drawTrend() {
    var r = ratio(), w = Math.round(TREND_WIDTH * r), h = Math.round(TREND_HEIGHT * r), pad = 2 * r;
    if (trend.width != w || trend.height != h) {
      trend.width = w;
      trend.height = h;
    }
    var context = trend.getContext('2d'), n = trendValues.length;
    var low = Math.min.apply(null, trendValues), high = Math.max.apply(null, trendValues);
    // Noise of a steady picture should not fill the height.
    var span = Math.max(high - low, TREND_LEAST_SPAN * Math.abs(high)) || 1;
    low -= (span - (high - low)) / 2;
    var step = (w - 2 * pad) / Math.max(n - 1, 1);
    function x(i) { return w - pad - (n - 1 - i) * step; }
    function y(i) { return h - pad - (trendValues[i] - low) / span * (h - 2 * pad); }
    context.clearRect(0, 0, w, h);
    context.strokeStyle = '#9d9';
    context.lineWidth = 1.5 * r;
    context.beginPath();
    trendValues.forEach(function (value, i) { if (i) context.lineTo(x(i), y(i)); else context.moveTo(x(i), y(i)); });
    context.stroke();
    context.fillStyle = '#fff';
    context.beginPath();
    context.arc(x(n - 1), y(n - 1), 2 * r, 0, 2 * Math.PI);
    context.fill();
  }
  function showFocus(status) {
    var figures = status && status.focus, picture = status && status.picture;
    focus.hidden = !(figures && figures.available);
    if (focus.hidden) {
      trendValues = [];
      trendReceived = null;
      return;
    }
    var value = figures.sharpness;
    sharpness.textContent = 'sharpness ' + (Math.abs(value) >= 100 ? value.toFixed(0) : value.toPrecision(3));
    // One value for each picture seen, however many came between two polls.
    if (picture && picture.received != trendReceived) {
      trendReceived = picture.received;
      trendValues.push(figures.sharpness);
      if (trendValues.length > TREND_LENGTH) trendValues.shift();
      drawTrend();
    }
  }
  function showStatus(status) {
    info.textContent = status ? describe(status) : '';
    showFocus(status);
    // A status that fails or has no picture yet leaves the size as it was,
    // and the view with it, across a reconnection.
    var picture = status && status.picture;
    if (picture && (picture.width != fullWidth || picture.height != fullHeight)) {
      fullWidth = picture.width;
      fullHeight = picture.height;
      place();
    }
    checkSize();
  }
  // Polls once a second, one request at a time; a server without /status
  // leaves the line empty and is asked for full-size pictures.
  function poll() {
    var controller = new AbortController(), timeout = setTimeout(function () { controller.abort(); }, STATUS_TIMEOUT);
    function next() {
      clearTimeout(timeout);
      setTimeout(poll, STATUS_EVERY);
    }
    fetch('/status', {signal: controller.signal, cache: 'no-store'}).then(function (response) {
      statusMissing = response.status == 404;
      return response.ok ? response.json() : null;
    }).then(showStatus, function () { showStatus(null); }).then(next, next);
  }
  poll();
})();
</script></body></html>)html";

}  // namespace quelmor::net
