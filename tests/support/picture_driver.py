#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# An INDI driver for tests: indiserver runs it, it defines "CCD1" on the device
# named by PICTURE_DRIVER_DEVICE and obeys lines written to the FIFO named by
# PICTURE_DRIVER_CONTROL:
#   send PATH SECONDS [DELETION] [FORMAT]   send the file as a picture every SECONDS,
#                       until the next line; with DELETION (delete-device or delete-property)
#                       delete and define "CCD1" again after each picture; FORMAT (".fits",
#                       ...) is the BLOB's format, ".jpg" when none is given
#   frame WIDTH HEIGHT  define CCD_STREAM_FRAME, the geometry of raw video frames
#   digests PATH        from then on number each JPEG sent in a comment, so that no two are
#                       alike, and append the SHA-256 (hex) of every BLOB to PATH before sending it
#   delete-device | delete-property | define
import base64, hashlib, os, select, sys, time

device = os.environ["PICTURE_DRIVER_DEVICE"]
control = os.open(os.environ["PICTURE_DRIVER_CONTROL"], os.O_RDWR | os.O_NONBLOCK)
picture, blob_format, interval, next_send, deletion = None, None, None, 0.0, None
digest_log, sent = None, 0
lines = {
    "define": f'<defBLOBVector device="{device}" name="CCD1" label="Image" group="Main" state="Idle" '
              'perm="ro" timeout="60"><defBLOB name="CCD1" label="Image"/></defBLOBVector>',
    "delete-device": f'<delProperty device="{device}"/>',
    "delete-property": f'<delProperty device="{device}" name="CCD1"/>',
}


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def blob_message(data):
    return (f'<setBLOBVector device="{device}" name="CCD1" state="Ok"><oneBLOB name="CCD1" '
            f'size="{len(data)}" format="{blob_format}" len="{len(data)}">{base64.b64encode(data).decode()}'
            '</oneBLOB></setBLOBVector>')


def numbered(data):
    # A comment segment right after the start marker leaves the JPEG valid.
    if digest_log is None or not data.startswith(b"\xff\xd8"):
        return data
    comment = b"picture %d" % sent
    return data[:2] + b"\xff\xfe" + (len(comment) + 2).to_bytes(2, "big") + comment + data[2:]


def send_picture():
    global sent
    data = numbered(picture)
    sent += 1
    if digest_log is not None:
        digest_log.write(hashlib.sha256(data).hexdigest() + "\n")
        digest_log.flush()
    say(blob_message(data))


def obey(command):
    global picture, blob_format, interval, next_send, deletion, digest_log
    words = command.split()
    if words and words[0] == "send":
        with open(words[1], "rb") as f:
            picture = f.read()
        options = words[3:]
        blob_format = next((word for word in options if word.startswith(".")), ".jpg")
        interval, next_send = float(words[2]), 0.0
        deletion = next((word for word in options if not word.startswith(".")), None)
    elif words and words[0] == "frame":
        say(f'<defNumberVector device="{device}" name="CCD_STREAM_FRAME" label="Frame" group="Streaming" '
            'state="Idle" perm="rw" timeout="60">'
            f'<defNumber name="X" format="%.f" min="0" max="65535" step="1">0</defNumber>'
            f'<defNumber name="Y" format="%.f" min="0" max="65535" step="1">0</defNumber>'
            f'<defNumber name="WIDTH" format="%.f" min="0" max="65535" step="1">{words[1]}</defNumber>'
            f'<defNumber name="HEIGHT" format="%.f" min="0" max="65535" step="1">{words[2]}</defNumber>'
            '</defNumberVector>')
    elif words and words[0] == "digests":
        digest_log = open(words[1], "a")
    elif words:
        say(lines[words[0]])


pending = b""
while True:
    ready, _, _ = select.select([sys.stdin, control], [], [], 0.01)
    if sys.stdin in ready:
        message = os.read(sys.stdin.fileno(), 65536)
        if not message:
            break
        if b"getProperties" in message:
            say(lines["define"])
    if control in ready:
        pending += os.read(control, 4096)
        *commands, pending = pending.split(b"\n")
        for command in commands:
            obey(command.decode())
    if picture and time.monotonic() >= next_send:
        send_picture()
        if deletion:
            say(lines[deletion])
            say(lines["define"])
        next_send = time.monotonic() + interval
