# Idle TCP connections to the router, as one script on the network can open them, driven line by line
# on standard input:
#   <n>   open n more connections and hold them without sending anything, answer "OK <held>"
# The end of standard input closes them all.
import resource
import socket
import sys

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
port = int(sys.argv[1])
held = []
print("OK 0", flush=True)
for line in sys.stdin:
    for _ in range(int(line)):
        held.append(socket.create_connection(("127.0.0.1", port)))
    print("OK", len(held), flush=True)
