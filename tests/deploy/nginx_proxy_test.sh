#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The shipped nginx configuration in front of the built service playing a SER
# file, with a certificate and a login made here: the viewer page, the
# stream, /status and /snapshot come through with the login only; everything
# else, /shutdown included, is nginx's 404 (with or without it), and the
# stream goes on.
# Prints the delay the proxy adds to each picture, against a direct viewer of
# the same stream.
# Usage: nginx_proxy_test.sh SERVICE-EXECUTABLE
set -euo pipefail
source "$(dirname "$0")/loopback_service.sh"
enter_own_namespaces "$@"
readonly SERVICE=$1 SHIPPED_CONFIG=$(dirname "$0")/../../doc/examples/nginx-dorvenquill.conf
readonly LOGIN=viewer:star-party
readonly DIRECT=http://127.0.0.1:8080 PROXY=https://127.0.0.1
readonly MEASURE_SECONDS=8

# The shipped server block with this test's certificate and password file,
# inside an http block that keeps nginx's files in the work folder.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
printf '%s:%s\n' "${LOGIN%%:*}" "$(openssl passwd -apr1 "${LOGIN#*:}")" >"$work/htpasswd"
chmod 644 "$work/htpasswd"
sed -e "s|/etc/ssl/certs/ssl-cert-snakeoil.pem|$work/cert.pem|" \
  -e "s|/etc/ssl/private/ssl-cert-snakeoil.key|$work/key.pem|" \
  -e "s|/etc/nginx/dorvenquill.htpasswd|$work/htpasswd|" "$SHIPPED_CONFIG" >"$work/server.conf"
! sed 's/#.*//' "$work/server.conf" | grep -q /etc/ || fail "the shipped file names files this test does not replace"
cat >"$work/nginx.conf" <<EOF
pid $work/nginx.pid;
events {}
http {
  access_log $work/access.log;
  client_body_temp_path $work/body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  include $work/server.conf;
}
EOF

start_service "$SERVICE"
write_star_field_ser "$work/stars.ser" 30
play_ser "$work/stars.ser" 10
nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" -g "daemon off;" &
wait_for "nginx on port 443" curl --silent --insecure --output /dev/null "$PROXY/"

# status PATH [CURL-ARG...]: the status nginx answers for PATH, after at most 2 s.
status() {
  curl --silent --insecure --path-as-is --max-time 2 --output /dev/null --write-out '%{http_code}' "$PROXY$1" "${@:2}" || true
}
failures=""
while read -r path login expected; do
  credentials=()
  [[ $login == - ]] || credentials=(--user "$login")
  got=$(status "$path" "${credentials[@]}")
  echo "$path, login $login: $got"
  [[ $got == "$expected" ]] || failures+=$'\n'"$path with login $login answered $got, not $expected"
done <<EOF
/viewer - 401
/jpg - 401
/shutdown - 404
/jpg viewer:wrong 401
/viewer $LOGIN 200
/status - 401
/status $LOGIN 200
/snapshot $LOGIN 200
/shutdown $LOGIN 404
/shutdown/ $LOGIN 404
/%73hutdown $LOGIN 404
/jpg/../shutdown $LOGIN 404
/ $LOGIN 404
EOF
[[ -z "$failures" ]] || fail "$failures"
cmp -s <(curl --silent --insecure --user "$LOGIN" "$PROXY/viewer") <(curl --silent "$DIRECT/viewer") ||
  fail "/viewer through nginx is not the service's page"
parts_arrive --insecure --user "$LOGIN" "$PROXY/jpg" || fail "no JPEG parts through nginx"
parts_arrive "$DIRECT/jpg" || fail "the stream ended after /shutdown through nginx"

# Both viewers read the same stream at once; each picture of the proxied one
# is paired with the arrival of the same bytes at the direct one.
python3 - "$DIRECT/jpg" "$PROXY/jpg" "$LOGIN" "$MEASURE_SECONDS" <<'PYTHON'
import base64, hashlib, ssl, statistics, sys, threading, time, urllib.request
direct, proxied, login, seconds = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
arrivals = {direct: [], proxied: []}

def read_parts(url):
    request = urllib.request.Request(url, headers={"Authorization": "Basic " + base64.b64encode(login.encode()).decode()})
    context = ssl.create_default_context()
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    with urllib.request.urlopen(request, context=context) as stream:
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            picture = read_part(stream)
            arrivals[url].append((time.monotonic(), hashlib.sha1(picture).digest()))

def read_part(stream):
    headers = {}
    while line := stream.readline():
        if b":" in line:
            name, value = line.split(b":", 1)
            headers[name.strip().lower()] = value.strip()
        elif not line.strip() and headers:
            return stream.read(int(headers[b"content-length"]))
    raise EOFError(stream.url)

readers = [threading.Thread(target=read_parts, args=(url,)) for url in arrivals]
for reader in readers: reader.start()
for reader in readers: reader.join()
# A viewer gets the current picture when it joins, not when it was published.
both_reading = max(parts[0][0] for parts in arrivals.values()) + 0.5
delays = []
for arrived, digest in (part for part in arrivals[proxied] if part[0] > both_reading):
    same = [t for t, d in arrivals[direct] if d == digest]
    if same:
        delays.append(arrived - min(same, key=lambda t: abs(t - arrived)))
if len(delays) < len(arrivals[proxied]) // 2:
    sys.exit(f"FAIL: only {len(delays)} of {len(arrivals[proxied])} proxied pictures reached the direct viewer")
ms = sorted(1000 * d for d in delays)
print(f"delay nginx adds per picture (1280 x 1024 grey, {len(ms)} pictures): "
      f"p50 {statistics.median(ms):.1f} ms, p99 {ms[min(len(ms) - 1, int(0.99 * len(ms)))]:.1f} ms")
PYTHON
