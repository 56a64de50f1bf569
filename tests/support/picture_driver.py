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
#   delete-device | delete-property | define
import base64, os, select, sys, time

device = os.environ["PICTURE_DRIVER_DEVICE"]
control = os.open(os.environ["PICTURE_DRIVER_CONTROL"], os.O_RDWR | os.O_NONBLOCK)
picture, interval, next_send, deletion = None, None, 0.0, None
lines = {
    "define": f'<defBLOBVector device="{device}" name="CCD1" label="Image" group="Main" state="Idle" '
              'perm="ro" timeout="60"><defBLOB name="CCD1" label="Image"/></defBLOBVector>',
    "delete-device": f'<delProperty device="{device}"/>',
    "delete-property": f'<delProperty device="{device}" name="CCD1"/>',
}


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def obey(command):
    global picture, interval, next_send, deletion
    words = command.split()
    if words and words[0] == "send":
        with open(words[1], "rb") as f:
            data = f.read()
        options = words[3:]
        blob_format = next((word for word in options if word.startswith(".")), ".jpg")
        picture = (f'<setBLOBVector device="{device}" name="CCD1" state="Ok"><oneBLOB name="CCD1" '
                   f'size="{len(data)}" format="{blob_format}" len="{len(data)}">{base64.b64encode(data).decode()}'
                   '</oneBLOB></setBLOBVector>')
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
        say(picture)
        if deletion:
            say(lines[deletion])
            say(lines["define"])
        next_send = time.monotonic() + interval
