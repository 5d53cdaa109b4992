#!/usr/bin/env python3
"""The far side of a serial line on a pseudo-terminal: echoes what arrives, hangs up on "BYE".
Prints the slave's path first; runs until the hang-up or --seconds have passed."""
import os, select, sys, time, tty

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60
master, slave = os.openpty()
tty.setraw(slave)
print(os.ttyname(slave), flush=True)
os.close(slave)  # the Windows program opens it; until then the master reads EIO
seen = b""
end = time.monotonic() + seconds
while time.monotonic() < end:
    ready, _, _ = select.select([master], [], [], 0.05)
    if not ready:
        continue
    try:
        data = os.read(master, 65536)
    except OSError:  # no one has the slave open yet
        time.sleep(0.01)
        continue
    seen = (seen + data)[-3:]
    if seen == b"BYE":
        break
    os.write(master, data)
os.close(master)
