# A program on the PC's side of a COM port, driven line by line on standard input:
#   W <hex>       write the bytes (waiting while the port is full), answer "OK"
#   R <n> <ms>    read until n bytes have come or ms have passed, answer "D <hex>"
# It answers "OK" once the port is open.
import sys
import time

import serial

port = serial.Serial(sys.argv[1], 9600, timeout=0)
print("OK", flush=True)
for line in sys.stdin:
    command = line.split()
    if not command:
        continue
    if command[0] == "W":
        port.write(bytes.fromhex(command[1]) if len(command) > 1 else b"")
        port.flush()
        print("OK", flush=True)
    elif command[0] == "R":
        wanted, end = int(command[1]), time.monotonic() + int(command[2]) / 1000
        data = b""
        while len(data) < wanted and time.monotonic() < end:
            chunk = port.read(wanted - len(data))
            data += chunk
            if not chunk:
                time.sleep(0.002)
        print("D " + data.hex(), flush=True)
port.close()
