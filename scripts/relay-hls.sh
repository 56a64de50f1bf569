#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Relays the service's picture stream to many viewers from a machine with more
# uplink than the board: ffmpeg reads the board's /jpg once and encodes it as
# H.264 for low latency into HLS segments of about a second in a temporary
# folder, and an nginx of this script's own serves that folder. When the
# board's stream ends (a source switch, a restart of the service or of the
# board), ffmpeg reads it again a second later, and the playlist goes on.
# Ctrl-C, or SIGTERM to this script, stops both and removes the folder.
#
# Usage: relay-hls.sh BOARD [PORT]
#   BOARD: host name or address of the service's machine (the stream of port 8080)
#   PORT:  where viewers find the relay, http://THIS-MACHINE:PORT/ (default 8081)
set -euo pipefail
usage() {
  cat <<EOF
usage: $0 BOARD [PORT]
Relays the picture stream of the service on BOARD (http://BOARD:8080/jpg) to
any number of viewers as HLS: http://THIS-MACHINE:PORT/stream.m3u8 for VLC, mpv
or ffplay, and a page at http://THIS-MACHINE:PORT/ (PORT: default 8081).
Needs ffmpeg, nginx and curl. Ctrl-C stops it.
EOF
}
if [[ ${1:-} == @(-h|--help) ]]; then
  usage
  exit 0
fi
if [[ $# -lt 1 || $# -gt 2 ]]; then
  usage >&2
  exit 2
fi
for program in ffmpeg nginx curl; do
  command -v "$program" >/dev/null || { echo "$program is missing: sudo apt-get install ffmpeg nginx-light curl" >&2; exit 1; }
done
readonly SOURCE=http://$1:8080/jpg
readonly PORT=${2:-8081}
readonly PLAYLIST=stream.m3u8
# Seconds a segment lasts, and segments the playlist names: a player starts
# about three segments behind the newest.
readonly SEGMENT_SECONDS=1
readonly LISTED_SEGMENTS=5
# The board repeats its picture every second: a stream silent for this long is dead.
readonly SILENT_MICROSECONDS=10000000

folder=$(mktemp -d)
# nginx's workers run as nobody when this script runs as root.
chmod 755 "$folder"
mkdir "$folder/www"
ffmpeg_pid=""
nginx_pid=""

write_nginx_config() {
  cat >"$folder/nginx.conf" <<EOF
worker_processes 1;
pid $folder/nginx.pid;
events {}
http {
  access_log off;
  client_body_temp_path $folder/body;
  proxy_temp_path $folder/proxy;
  fastcgi_temp_path $folder/fastcgi;
  uwsgi_temp_path $folder/uwsgi;
  scgi_temp_path $folder/scgi;
  types {
    text/html html;
    application/vnd.apple.mpegurl m3u8;
    video/mp2t ts;
  }
  server {
    listen $PORT;
    root $folder/www;
    # Until ffmpeg has written the playlist, players ask for it in vain.
    log_not_found off;
    # The playlist changes every segment; a segment never changes.
    location ~ \.m3u8\$ { add_header Cache-Control no-cache; }
  }
}
EOF
}

# A page for browsers that play HLS themselves (Safari, Chrome on Android,
# recent desktop Chrome); other players open the playlist.
write_player_page() {
  cat >"$folder/www/index.html" <<EOF
<!DOCTYPE html>
<html><head><meta name="viewport" content="width=device-width"><title>dorvenquill relay</title></head>
<body style="margin:0;background:#000">
<video src="$PLAYLIST" autoplay muted playsinline controls style="width:100vw;height:100vh"></video>
</body></html>
EOF
}

# relay_once: reads the board's stream until it ends, as HLS segments.
# Timestamps are the arrival times, as the board sends a picture when there is
# one; a key frame every segment lets each segment start a player.
relay_once() {
  ffmpeg -nostdin -hide_banner -loglevel warning \
    -use_wallclock_as_timestamps 1 -rw_timeout "$SILENT_MICROSECONDS" -f mpjpeg -i "$SOURCE" \
    -an -vf "crop=trunc(iw/2)*2:trunc(ih/2)*2" -fps_mode vfr \
    -c:v libx264 -preset veryfast -tune zerolatency -pix_fmt yuv420p \
    -force_key_frames "expr:gte(t,n_forced*$SEGMENT_SECONDS)" \
    -f hls -hls_time "$SEGMENT_SECONDS" -hls_list_size "$LISTED_SEGMENTS" \
    -hls_flags delete_segments+append_list+omit_endlist+independent_segments \
    -hls_segment_filename "$folder/www/segment%d.ts" "$folder/www/$PLAYLIST" &
  ffmpeg_pid=$!
  wait "$ffmpeg_pid" || true
  ffmpeg_pid=""
}

# running PID: whether PID runs (is not a zombie).
running() {
  [[ "$(ps -o stat= -p "$1" 2>/dev/null || true)" == [^Z]* ]]
}

stop_all() {
  trap '' INT TERM
  local pid
  for pid in $ffmpeg_pid $nginx_pid; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  rm -rf "$folder"
}

trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

write_nginx_config
write_player_page
nginx -p "$folder" -c "$folder/nginx.conf" -e stderr -g "daemon off;" &
nginx_pid=$!
until curl --silent --output /dev/null "http://127.0.0.1:$PORT/"; do
  running "$nginx_pid" || { echo "nginx did not start." >&2; exit 1; }
  sleep 0.1
done
host=$(hostname -I 2>/dev/null | awk '{print $1}')
echo "Relaying $SOURCE: http://${host:-localhost}:$PORT/ (playlist /$PLAYLIST)"
echo "Ctrl-C stops the relay."
while running "$nginx_pid"; do
  relay_once
  echo "The stream of $SOURCE ended; reading it again in 1 s." >&2
  sleep 1
done
echo "nginx ended." >&2
exit 1
