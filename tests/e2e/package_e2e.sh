#!/usr/bin/env bash
# The Debian package end to end, as a desktop user meets it: installed with dpkg, the service started
# (this machine has no systemd, so the test starts sentorixd itself, in a network namespace of its own),
# an ordinary user in the group sentorix drives the command line and the window, a user outside it is
# refused, the service supervises the extension (SIGSTOP fails open and SIGCONT puts it back, SIGKILL
# restarts) and shrugs off hostile clients. Removes the package, the users and the namespaces at the end. Needs root; skipped
# (77) otherwise.
#   package_e2e.sh PACKAGE.deb [SCREENSHOT_DIR]
set -uo pipefail

deb=${1:?usage: package_e2e.sh PACKAGE.deb [SCREENSHOT_DIR]}
shots=${2:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
if [ "$(id -u)" -ne 0 ]; then echo "SKIP: needs root to install a package and create users"; exit 77; fi
ip netns add sxprobe-$$ 2>/dev/null || { echo "SKIP: cannot create network namespaces here"; exit 77; }
ip netns del sxprobe-$$

source "$root/tools/sandbox.sh"
work=$(mktemp -d /tmp/sentorix-package-e2e.XXXXXX)
chmod 755 "$work"
passed=0 failed=0
proxy_pid= service_pid=
member=sxmember$$ outsider=sxoutside$$
state=/var/lib/sentorix
socket=/run/sentorix/sentorixd.sock

check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok:   $what"
  else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
cleanup() {
  [ -n "$service_pid" ] && ip netns exec "$SX_APP" runuser -u "$member" -- sentorix --stop-proxy >/dev/null 2>&1
  local pid
  for pid in $service_pid $proxy_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $service_pid $proxy_pid; do wait "$pid" 2>/dev/null || true; done
  sx_sandbox_down
  userdel "$member" 2>/dev/null || true
  userdel "$outsider" 2>/dev/null || true
  dpkg --purge sentorix >/dev/null 2>&1 || true
  # Not the package's, so not purged with it.
  rm -f /usr/lib/sentorix/Sentorix.app/Contents/Library/SystemExtensions/*/Contents/Resources/upgrade-marker
  rm -rf "$work"
}
trap cleanup EXIT

as() {  # as USER COMMAND...: in the application namespace, as USER; output in $out, status in $status
  local user=$1; shift
  out=$(ip netns exec "$SX_APP" runuser -u "$user" -- env HOME="$work/home" "$@" 2>&1); status=$?
}
printed() { [ "$out" = "$1" ] && [ "$status" -eq "$2" ] || { echo "      printed '$out', exit $status"; return 1; }; }
connects() { grep -c '^sentorix-proxy: CONNECT ' "$work/proxy.log" 2>/dev/null || true; }
extension_pid() { sed -n 2p "$state/extension.status" 2>/dev/null; }
fetch() { ip netns exec "$SX_APP" curl -s -m "$1" -o /dev/null "http://$SX_DST_V4/" ; }
relayed() { local before; before=$(connects); fetch 3 && [ "$(connects)" -gt "$before" ]; }
# A stopped extension's redirected connection hangs: short tries keep the clock honest.
direct() { local before; before=$(connects); fetch 0.3 && [ "$(connects)" -eq "$before" ]; }
within() {  # within SECONDS COMMAND...: true once COMMAND is, before SECONDS of wall-clock time pass
  local deadline=$(($(date +%s%N) + $1 * 1000000000)); shift
  while [ "$(date +%s%N)" -lt "$deadline" ]; do "$@" && return 0; sleep 0.1; done
  return 1
}
descriptors() { ls /proc/"$service_pid"/fd | wc -l; }
rss_kib() { awk '/^VmRSS/ {print $2}' /proc/"$service_pid"/status; }

# --- install
dpkg --purge sentorix >/dev/null 2>&1 || true
check "the package installs with dpkg -i" dpkg -i "$deb"
check "it created the group sentorix" getent group sentorix
check "it created the state directory, root's alone" test "$(stat -c %a:%U "$state")" = 700:root
for path in /usr/bin/sentorix /usr/bin/sentorix-proxy /usr/bin/sentorix-monitor /usr/libexec/sentorix/sentorixd; do
  check "it installed $path" test -x "$path"
done
useradd --no-create-home --shell /usr/sbin/nologin --groups sentorix "$member"
useradd --no-create-home --shell /usr/sbin/nologin "$outsider"
mkdir -p "$work/home" && chmod 777 "$work/home"

sx_sandbox_up sxpkg "$work" || { echo "FAIL: sandbox"; exit 1; }
ip netns exec "$SX_APP" sentorix-proxy --listen 127.0.0.1:8080 --verbose >>"$work/proxy.log" 2>&1 &
proxy_pid=$!
sx_wait_for "$work/proxy.log" "listening" 5

as "$member" sentorix --status
check "without the service: one clear line and exit 1" printed "Sentorix service is not running: $socket" 1

ip netns exec "$SX_APP" /usr/libexec/sentorix/sentorixd >>"$work/service.log" 2>&1 &
service_pid=$!
check "the service listens on $socket" sx_wait_for "$work/service.log" "listening on $socket" 5

# --- the command line, as a member of the group
as "$member" sentorix --start-proxy
check "a member starts the proxy" printed "Proxy started" 0
as "$member" sentorix --status
check "a member reads the status" printed "connected" 0
check "curl is relayed meanwhile" relayed

as "$outsider" sentorix --stop-proxy
check "a user outside the group is refused with \"permission denied\"" \
  bash -c '[[ "$1" == *"permission denied"* ]] && [ "$2" -eq 1 ]' _ "$out" "$status"
as "$outsider" sentorix --status
check "... for reading too" bash -c '[[ "$1" == *"permission denied"* ]] && [ "$2" -eq 1 ]' _ "$out" "$status"
as "$member" sentorix --status
check "and nothing changed" printed "connected" 0

# --- supervision
# A conversation on one connection, flowing before the stop: it must go on after SIGCONT, on the same
# connection. It prints its longest wait for an answer.
ip netns exec "$SX_APP" python3 - "$SX_DST_V4" >"$work/conversation.log" 2>&1 <<'PY' &
import http.client, sys, time
connection = http.client.HTTPConnection(sys.argv[1], 80, timeout=20)
longest, last, first_port = 0.0, time.monotonic(), None
end = last + 9
while time.monotonic() < end:
    connection.request("GET", "/", headers={"Connection": "keep-alive"})
    connection.getresponse().read()
    port = connection.sock.getsockname()[1]
    first_port = first_port or port
    if port != first_port:
        sys.exit("the conversation's connection was lost and made again")
    now = time.monotonic()
    longest, last = max(longest, now - last), now
    time.sleep(0.05)
print(f"{longest:.2f}")
PY
conversation=$!
sleep 1
pid=$(extension_pid)
kill -STOP "$pid"
started=$(date +%s%N)
ip netns exec "$SX_APP" curl -s -m 8 -o /dev/null "http://$SX_DST_V4/"
hang_ms=$((($(date +%s%N) - started) / 1000000))
check "a request made as the extension stops ends within 3 s (${hang_ms} ms)" [ "$hang_ms" -lt 3000 ]
check "a stopped extension lets curl through directly within 3 s" within 3 direct
check "the service says so in its log" grep -q "has not answered" "$work/service.log"
sleep 1
kill -CONT "$pid"
wait "$conversation"; conversed=$?
check "the conversation goes on after SIGCONT on its connection (longest gap $(cat "$work/conversation.log") s)" \
  [ "$conversed" -eq 0 ]
check "relaying resumes after SIGCONT" within 5 relayed
check "by the same extension, its redirection put back" \
  bash -c '[ "$1" = "$2" ] && grep -q "its redirection is put back" "$3"' _ "$(extension_pid)" "$pid" "$work/service.log"
up() { [ "$(sed -n 1p "$state/extension.status" 2>/dev/null)" = connected ] && kill -0 "$(extension_pid)" 2>/dev/null; }
within 3 up
pid=$(extension_pid)
kill -KILL "$pid"
restarted() { local now; now=$(extension_pid); [ -n "$now" ] && [ "$now" != "$pid" ] && up; }
check "a killed extension is restarted within 2 s" within 2 restarted
check "the reason is in the service's log" grep -q "was killed by signal 9" "$work/service.log"
check "and relaying goes on" within 3 relayed

# An upgrade: the installed bundle's extension changes under a running one, and the service restarts,
# as the package's postinst does. The new copy is activated and runs; the configuration is kept.
within 3 up
pid=$(extension_pid)
bundled=/usr/lib/sentorix/Sentorix.app/Contents/Library/SystemExtensions/com.sentorix.desktop.extension.systemextension
# Content of this run's own: a marker left by an earlier run would make no difference.
mkdir -p "$bundled/Contents/Resources" && echo "upgraded $$ $(date +%s%N)" >"$bundled/Contents/Resources/upgrade-marker"
kill "$service_pid"; wait "$service_pid" 2>/dev/null
seen=$(sx_count "$work/service.log" "listening on $socket")
ip netns exec "$SX_APP" /usr/libexec/sentorix/sentorixd >>"$work/service.log" 2>&1 &
service_pid=$!
sx_wait_for "$work/service.log" "listening on $socket" 5 "$seen"
upgraded() { local now; now=$(extension_pid); [ -n "$now" ] && [ "$now" != "$pid" ] && up; }
check "after an upgrade and the service's restart, the new extension runs" within 5 upgraded
check "... from the new copy" test -f "$state/SystemExtensions/com.sentorix.desktop.extension.systemextension/Contents/Resources/upgrade-marker"
check "... and relaying goes on with the saved configuration" within 3 relayed
rm -f "$bundled/Contents/Resources/upgrade-marker"; rmdir "$bundled/Contents/Resources" 2>/dev/null

# --- hostile peers on the data path
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$(extension_pid)/stat"; }
before=$(connects)
ip netns exec "$SX_APP" python3 - "$SX_DST_V4" >"$work/urgent.log" 2>&1 <<'PY'
import socket, sys, time
# One urgent byte in the middle of a request: every byte after it must still arrive.
s = socket.create_connection((sys.argv[1], 80), timeout=5)
s.sendall(b"GET / HTTP/1.1\r\nHost: destination\r\nX-Urgent: a")
time.sleep(0.2)
s.send(b"!", socket.MSG_OOB)
time.sleep(0.2)
s.sendall(b"b\r\nConnection: close\r\n\r\n")
answer = b""
while chunk := s.recv(4096):
    answer += chunk
sys.exit(0 if b"hello from the destination" in answer else "answer: %r" % answer)
PY
urgent=$?
ticks_before=$(cpu_ticks); sleep 1; ticks_after=$(cpu_ticks)
check "a request with an urgent byte in it is relayed whole" bash -c '[ "$1" -eq 0 ] && [ "$2" -gt "$3" ]' _ "$urgent" "$(connects)" "$before"
check "and the extension idles after it ($((ticks_after - ticks_before)) CPU ticks in 1 s)" [ $((ticks_after - ticks_before)) -lt 20 ]
# A destination that drops packets keeps the proxy connecting onwards until the handshakes time out:
# that is its own failing, and every request to a healthy destination meanwhile is still relayed.
ip netns exec "$SX_DST" nft -f - <<'NFT'
table inet sxdrop {
  chain input { type filter hook input priority 0; tcp dport 8000 drop; }
}
NFT
timeouts_before=$(grep -c "CONNECT handshake timed out" "$state/extension.log" 2>/dev/null)
dropping=()
for i in 1 2 3; do
  ip netns exec "$SX_APP" curl -s -m 8 -o /dev/null "http://$SX_DST_V4:8000/" & dropping+=($!)
  sleep 0.5
done
sleep 0.5   # every request to the dropping destination has reached the proxy: new CONNECTs are ours
relayed_n=0 direct_n=0
deadline=$(($(date +%s%N) + 7000000000))
while [ "$(date +%s%N)" -lt "$deadline" ]; do
  if relayed; then relayed_n=$((relayed_n + 1)); else direct_n=$((direct_n + 1)); fi
done
wait "${dropping[@]}" 2>/dev/null
timeouts=$(($(grep -c "CONNECT handshake timed out" "$state/extension.log" 2>/dev/null) - timeouts_before))
ip netns exec "$SX_DST" nft delete table inet sxdrop
check "while $timeouts handshakes to a dropping destination time out, requests elsewhere are relayed ($relayed_n relayed, $direct_n direct)" \
  bash -c '[ "$1" -ge 3 ] && [ "$2" -gt 0 ] && [ "$3" -eq 0 ]' _ "$timeouts" "$relayed_n" "$direct_n"
before=$(connects)
# Listening on [::1]:8080, beside the proxy on 127.0.0.1:8080, makes nobody the proxy: curl, run by
# that process, is relayed as any program.
ip netns exec "$SX_APP" python3 -c '
import os, socket, sys
s = socket.socket(socket.AF_INET6)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
s.bind(("::1", 8080)); s.listen(); os.set_inheritable(s.fileno(), True)
os.execvp("curl", ["curl", "-s", "-m", "3", "-o", "/dev/null", "http://" + sys.argv[1] + "/"])' "$SX_DST_V4"
check "a program listening on [::1]:8080 is still relayed" [ "$(connects)" -gt "$before" ]
# A client bound to a device (curl --interface, a per-device connectivity check) leaves by it, direct.
bound_direct() {
  local before; before=$(connects)
  ip netns exec "$SX_APP" curl -sk -m 3 -o /dev/null --interface sxpkga0 "$1" && [ "$(connects)" -eq "$before" ]
}
check "a client bound to its device goes direct on port 80" bound_direct "http://$SX_DST_V4/"
check "... and on 443" bound_direct "https://$SX_DST_V4/"

# --- hostile clients
sleep 0.5
fds_before=$(descriptors) rss_before=$(rss_kib)
python3 - "$socket" "$outsider" >"$work/fuzz.log" 2>&1 <<'PY' || echo "fuzzing client failed: $(tail -3 "$work/fuzz.log")"
import os, random, socket, struct, sys, threading, time
path = sys.argv[1]
random.seed(20261209)
def frame(body): return struct.pack(">I", len(body)) + body
def plist(inner): return b'<?xml version="1.0"?><plist version="1.0"><dict>' + inner + b'</dict></plist>'
kinds = [
    lambda: os.urandom(random.randint(0, 300)),                                    # noise, maybe a huge header
    lambda: frame(os.urandom(random.randint(0, 2000))),                           # framed noise
    lambda: frame(plist(b"<key>version</key><integer>1</integer><key>request</key><string>" +
                        random.choice([b"start", b"save", b"load", b"activate", b"deactivate", b"nope", b""]) +
                        b"</string>" + random.choice([b"", b"<key>extension</key><string>../../etc</string>",
                                                      b"<key>identifier</key><integer>7</integer>",
                                                      b"<key>configuration</key><string>x</string>"]))),
    lambda: frame(plist(b"<key>version</key><integer>" + str(random.randint(-5, 5)).encode() + b"</integer>")),
    lambda: frame(b"<plist>" + b"<array>" * 5000 + b"</plist>"),                 # nesting
    lambda: frame(plist(b"<key>request</key><string>loadAll</string>"))[:-7],    # cut short
]
answered = 0
for i in range(1000):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(2)
    try:
        s.connect(path)
        s.sendall(random.choice(kinds)())
        s.shutdown(socket.SHUT_WR)
        if s.recv(4):
            answered += 1
    except OSError:
        pass
    s.close()
print("fuzzed requests answered:", answered)
# 200 clients connecting and vanishing at once
clients = []
for i in range(200):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.connect(path); clients.append(s)
    except OSError:
        pass
barrier = threading.Barrier(len(clients))
def vanish(s):
    barrier.wait()
    try:
        s.send(b"\0\0")  # those past the service's client limit are already closed
    except OSError:
        pass
    s.close()
threads = [threading.Thread(target=vanish, args=(s,)) for s in clients]
[t.start() for t in threads]; [t.join() for t in threads]
print("vanished:", len(clients))
# 16 MiB: the answer comes before the body has gone
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(path)
s.sendall(struct.pack(">I", 16 * 1024 * 1024))
s.settimeout(3)
sent = 0
chunk = b"x" * 65536
try:
    while sent < 16 * 1024 * 1024:
        sent += s.send(chunk)
except OSError:
    pass
s.settimeout(3)
answer = b""
try:
    while True:
        got = s.recv(65536)
        if not got: break
        answer += got
except OSError:
    pass
print("16 MiB request: sent", sent, "answer", b"larger than" in answer)
sys.exit(0 if b"larger than" in answer and sent < 16 * 1024 * 1024 else 1)
PY
fuzz_status=$?
cat "$work/fuzz.log" | sed 's/^/      /'
check "a 16 MiB request is refused without being read whole" test "$fuzz_status" -eq 0
as "$member" sentorix --status
check "after 1,000 fuzzed requests and 200 vanishing clients the service still answers" printed "connected" 0
settled() { [ "$(descriptors)" -le "$fds_before" ]; }
check "its descriptors are where they started ($fds_before)" within 3 settled
check "its memory is where it started ($rss_before KiB, now $(rss_kib) KiB)" test "$(rss_kib)" -le $((rss_before + 1024))
# A member's saves that would grow past what the service keeps: one binary list whose 8,000 references
# share a 32 KiB string, and an XML one small to send and large once written. Both are refused, and the
# saved configurations still load in one answer.
ip netns exec "$SX_APP" runuser -u "$member" -- python3 - "$socket" >"$work/saves.log" 2>&1 <<'PY'
import plistlib, socket, struct, sys
def ask(message, binary=False):
    body = plistlib.dumps(message, fmt=plistlib.FMT_BINARY if binary else plistlib.FMT_XML)
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(5)
    s.connect(sys.argv[1])
    s.sendall(struct.pack(">I", len(body)) + body)
    def exactly(n):
        data = b""
        while len(data) < n:
            chunk = s.recv(n - len(data))
            if not chunk:
                raise EOFError("the service hung up")
            data += chunk
        return data
    length = struct.unpack(">I", exactly(4))[0]
    return plistlib.loads(exactly(length))
def save(provider, binary=False):
    return ask({"version": 1, "request": "save", "configuration": {"identifier": "hostile", "protocol": {
        "serverAddress": "127.0.0.1:8080", "providerBundleIdentifier": "com.sentorix.desktop.extension",
        "providerConfiguration": provider}}}, binary)
shared = "x" * 32768
answers = [save({"many": [shared] * 8000}, binary=True), save({"many": [""] * 2800})]
loaded = ask({"version": 1, "request": "loadAll"})
print("binary:", answers[0], "\nlarge:", answers[1], "\nloadAll keys:", sorted(loaded))
ok = ("binary property lists" in str(answers[0]) and "more than the" in str(answers[1]) and
      "configurations" in loaded)
sys.exit(0 if ok else 1)
PY
saves=$?
check "a member's saves that would grow past the bound are refused, and loadAll still answers" test "$saves" -eq 0 ||
  sed 's/^/      /' "$work/saves.log"

# --- the window, as the member, under Xvfb
if command -v xvfb-run >/dev/null && command -v xdotool >/dev/null && command -v import >/dev/null; then
  as "$member" sentorix --stop-proxy
  # Taken where the member may write (the build tree may sit under a private directory), kept after.
  keep=$shots shots=$work/shots
  mkdir -p "$shots" && chmod 777 "$shots"
  ip netns exec "$SX_APP" runuser -u "$member" -- env HOME="$work/home" \
    xvfb-run -a -s "-screen 0 480x240x24" bash -c '
      # No window manager: the window sits at the origin, its one button at the top right.
      click() { xdotool mousemove 429 21 click 1; }
      status_is() { for i in $(seq 50); do [ "$(sentorix --status)" = "$1" ] && return 0; sleep 0.2; done; return 1; }
      sentorix >"$1/window.log" 2>&1 & app=$!
      sleep 2; import -window root "$1/window-stopped.png"
      click; sleep 0.2; import -window root "$1/window-indeterminate.png"
      status_is connected && echo started >>"$1/window.result"
      sleep 1; import -window root "$1/window-running.png"
      click; status_is disconnected && echo stopped >>"$1/window.result"
      kill $app' _ "$shots" >/dev/null 2>&1
  check "the window's Start button starts the extension" grep -q '^started' "$shots/window.result"
  check "its Stop button stops it" grep -q '^stopped' "$shots/window.result"
  check "screenshots of the three states" test -s "$shots/window-stopped.png" -a -s "$shots/window-indeterminate.png" -a -s "$shots/window-running.png"
  if [ -n "$keep" ]; then
    mkdir -p "$keep" && cp "$shots"/window-*.png "$keep"/ 2>/dev/null && echo "      screenshots in $keep"
  fi
else
  echo "skip: the window (xvfb-run, xdotool or ImageMagick missing)"
fi

# --- the rest of the command line, and removal
as "$member" sentorix --start-proxy
as "$member" sentorix --stop-proxy
check "a member stops the proxy" printed "Proxy stopped" 0
as "$member" sentorix --deactivate-extension
check "a member deactivates the extension" printed "Extension deactivated" 0
kill "$service_pid"; wait "$service_pid"
check "the service stops on SIGTERM with status 0" test $? -eq 0
service_pid=
tail -n 60 "$state/extension.log" >"$work/extension.log" 2>/dev/null   # the purge takes it
check "the package removes cleanly" dpkg -r sentorix
check "and purges its state" bash -c 'dpkg --purge sentorix >/dev/null && ! test -e /var/lib/sentorix'

if [ "$failed" -gt 0 ]; then
  echo "---- the service's log"; tail -n 30 "$work/service.log"
  echo "---- the window's log"; cat "$work/shots/window.log" 2>/dev/null
  echo "---- the extension's log"; cat "$work/extension.log" 2>/dev/null
fi
echo "package end to end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
