#!/usr/bin/env python3
# Puts a state directory into a given connection status without running the extension: saves an
# enabled configuration, then holds the extension's lock and publishes the status word until killed.
#   stage-status.py STATE_DIR connecting|connected
import fcntl, os, plistlib, signal, struct, sys

state, word = sys.argv[1], sys.argv[2]
os.makedirs(state, exist_ok=True)
with open(os.path.join(state, "configurations.plist"), "wb") as out:
    plistlib.dump([{
        "identifier": "00000000-0000-4000-8000-000000000000",
        "enabled": True,
        "localizedDescription": "Sentorix",
        "protocol": {"providerBundleIdentifier": "com.sentorix.desktop.extension",
                     "serverAddress": "127.0.0.1", "providerConfiguration": {}},
    }], out)
lock = os.open(os.path.join(state, "extension.lock"), os.O_RDWR | os.O_CREAT, 0o644)
fcntl.fcntl(lock, fcntl.F_OFD_SETLK, struct.pack("hhqqixxxx", fcntl.F_WRLCK, 0, 0, 0, 0))
with open(os.path.join(state, "extension.status"), "w") as out:
    out.write(f"{word}\n{os.getpid()}\n\n")
print("staged", flush=True)
signal.pause()
