#!/usr/bin/env python3
# Stands in for the extension program: takes its lock, publishes its status as it does, and behaves
# as the file "mode" beside it says: run (until SIGTERM), slow (to connect, then run), fail (with an
# error) or crash. Started by the service, it beats on the pipe it was given, as the extension does.
import fcntl, os, signal, struct, sys, time

state = os.environ["SENTORIX_STATE_DIR"]
# Run from a descriptor, it has no path of its own: its activated copy is found from the state.
mode = open(state + "/SystemExtensions/com.sentorix.desktop.extension.systemextension/Contents/MacOS/mode").read().strip()

def publish(word, error=""):
    temporary = state + "/extension.status.tmp"
    with open(temporary, "w") as out:
        out.write(f"{word}\n{os.getpid()}\n{error}\n")
    os.rename(temporary, state + "/extension.status")

lock = os.open(state + "/extension.lock", os.O_RDWR | os.O_CREAT, 0o644)
fcntl.fcntl(lock, fcntl.F_OFD_SETLK, struct.pack("hhqqixxxx", fcntl.F_WRLCK, 0, 0, 0, 0))
publish("connecting")
# What it was handed: the service's own sockets must not be among them.
with open(state + "/extension.fds", "w") as out:
    for fd in os.listdir("/proc/self/fd"):
        try:
            out.write(os.readlink(f"/proc/self/fd/{fd}") + "\n")
        except OSError:
            pass
if mode == "fail":
    publish("disconnected", "CAP_NET_ADMIN is needed (run as root)")
    sys.exit(1)
if mode == "crash":
    print("fake extension: crashing", flush=True)
    os._exit(3)

def stop(*_):
    publish("disconnected")
    sys.exit(0)

signal.signal(signal.SIGTERM, stop)
time.sleep(5 if mode == "slow" else 0.05)
publish("connected")
beat = os.environ.get("SENTORIX_HEARTBEAT_FD")
while True:
    if beat:
        try:
            os.write(int(beat), b".")
        except BlockingIOError:
            pass
        time.sleep(0.1)
    else:
        signal.pause()
