#!/usr/bin/env bash
# End to end with a real browser: headless Chromium in the extension's network namespace learns the
# site's Alt-Svc (h3) on a first visit; on the second it loads an HTTPS page with 68 subresources from
# four host names, every connection relayed through sentorix-proxy under Chromium's identifier, while
# its QUIC attempts are refused in the kernel; the page loads over TCP as fast as with QUIC off. A last
# visit with the extension stopped shows the same QUIC reaching the site. The page's screenshot goes
# to SCREENSHOT_DIR/browser-page.png when given.
# Needs root (namespaces) and Chromium; without them the test is skipped (exit 77) with the reason.
#   browser_e2e.sh BUILD_BIN_DIR [SCREENSHOT_DIR]
set -uo pipefail

bin=${1:?usage: browser_e2e.sh BUILD_BIN_DIR [SCREENSHOT_DIR]}
shots=${2:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# The launcher in /usr/bin adds extensions and API keys: the browser itself is run, so its flags are ours.
chromium=/usr/lib/chromium/chromium
if [ "$(id -u)" -ne 0 ]; then echo "SKIP: needs root for network namespaces"; exit 77; fi
for tool in ip curl python3 openssl timeout; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (tools/test.sh installs it)"; exit 77; }
done
[ -x "$chromium" ] || { echo "SKIP: Chromium is not installed ($chromium; apt-get install chromium)"; exit 77; }
ip netns add sxprobe-$$ 2>/dev/null || { echo "SKIP: cannot create network namespaces here"; exit 77; }
ip netns del sxprobe-$$

source "$root/tools/sandbox.sh"
prefix=sxbrw
work=$(mktemp -d /tmp/sentorix-browser-e2e.XXXXXX)
chmod 755 "$work"
passed=0 failed=0
proxy_pid= monitor_pid= extension_pid= site_pid= chromium_pid=
script_start=$(date +%s.%N)

check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok:   $what"
  else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
stop_chromium() {
  [ -n "$chromium_pid" ] || return 0
  # timeout leads a process group of its own: Chromium and all its children.
  kill -TERM -- "-$chromium_pid" 2>/dev/null && sleep 0.5
  kill -KILL -- "-$chromium_pid" 2>/dev/null || true
  wait "$chromium_pid" 2>/dev/null || true
  chromium_pid=
}
stop_all() {
  local pid
  stop_chromium
  for pid in $extension_pid $proxy_pid $monitor_pid $site_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $extension_pid $proxy_pid $monitor_pid $site_pid; do wait "$pid" 2>/dev/null || true; done
  extension_pid= proxy_pid= monitor_pid= site_pid=
}
cleanup() { stop_all; sx_sandbox_down; rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

start_our_proxy() {
  ip netns exec "$SX_APP" "$bin/sentorix-proxy" --listen 127.0.0.1:8080 --verbose >>"$work/proxy.log" 2>&1 &
  proxy_pid=$!
  sx_wait_for "$work/proxy.log" "listening" 5
}
start_monitor_and_extension() {
  : >"$work/events.jsonl"; : >"$work/monitor.log"
  ip netns exec "$SX_APP" "$bin/sentorix-monitor" --socket "$work/monitor.sock" >>"$work/events.jsonl" 2>"$work/monitor.log" &
  monitor_pid=$!
  sx_wait_for "$work/monitor.log" "listening" 5
  SENTORIX_STATE_DIR=$work/state SENTORIX_EXTENSION_MONITORING_SOCKET_PATH=$work/monitor.sock \
    ip netns exec "$SX_APP" "$bin/com.sentorix.desktop.extension" >>"$work/extension.log" 2>&1 &
  extension_pid=$!
  for i in $(seq 50); do grep -q '^connected' "$work/state/extension.status" 2>/dev/null && break; sleep 0.1; done
  sleep 1.2  # the first probe opens the gate
}

# Four names, each on an address of its own, so that each CONNECT says which name it carries.
names=(a.test b.test c.test d.test)
addresses=(192.0.2.10 192.0.2.11 192.0.2.12 192.0.2.13)
expected_resources=$(( ${#names[@]} * 17 ))  # browser_site.py: 12 images, 3 scripts, 2 style sheets a name
rules=() site_args=()
for i in "${!names[@]}"; do
  rules+=("MAP ${names[$i]} ${addresses[$i]}")
  site_args+=("${names[$i]}=${addresses[$i]}")
done
# Any other name fails at once, without a resolver: nothing is looked up outside the test.
rules+=("MAP * ~NOTFOUND")
resolver_rules=$(IFS=,; echo "${rules[*]}")

echo "== certificates"
san=$(printf 'DNS:%s,' "${names[@]}"); san=${san%,}
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Sentorix browser test CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  -keyout "$work/ca.key" -out "$work/ca.crt" >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -subj "/CN=${names[0]}" -keyout "$work/site.key" -out "$work/site.csr" >/dev/null 2>&1
printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\nbasicConstraints=critical,CA:FALSE\n' "$san" >"$work/site.ext"
openssl x509 -req -in "$work/site.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -CAcreateserial -days 2 \
  -extfile "$work/site.ext" -out "$work/site.crt" >/dev/null 2>&1
cat "$work/site.crt" "$work/ca.crt" >"$work/site-chain.crt"
# Chromium trusts the leaf by its key's hash (only with --user-data-dir), as it would a pinned key.
spki=$(openssl x509 -in "$work/site.crt" -pubkey -noout | openssl pkey -pubin -outform der |
  openssl dgst -sha256 -binary | base64)
check "a CA and a leaf for ${names[*]}" bash -c '[ -n "$1" ] && openssl verify -CAfile "$2" "$3" >/dev/null' _ \
  "$spki" "$work/ca.crt" "$work/site.crt"

sx_sandbox_up "$prefix" "$work" || { echo "FAIL: sandbox"; exit 1; }
# The sandbox's own HTTPS server holds port 443 on every address; the site takes its place.
for pid in "${SX_DST_PIDS[@]}"; do
  if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q 'destination-server.py 443 '; then
    kill "$pid"; wait "$pid" 2>/dev/null
  fi
done
for address in "${addresses[@]}"; do ip -n "$SX_DST" addr add "$address/24" dev "${prefix:0:8}d0"; done
# IPv6 leads somewhere, as on a desktop: Chromium probes for a route before it asks for IPv6 addresses.
ip -n "$SX_APP" -6 route add default via "$SX_DST_V6"
ip netns exec "$SX_DST" python3 "$here/browser_site.py" "$work/site-chain.crt" "$work/site.key" \
  "$work/access.log" "$work/udp.log" "${site_args[@]}" 2>"$work/site.err" &
site_pid=$!
sx_wait_for "$work/udp.log" "^listening" 5 || { echo "FAIL: the site did not start"; cat "$work/site.err"; exit 1; }

start_our_proxy
start_monitor_and_extension
check "extension publishes connected" grep -q '^connected' "$work/state/extension.status"
curl_fetch() {
  sx_app curl -s -m 10 --cacert "$work/ca.crt" --resolve "${names[0]}:443:${addresses[0]}" -o /dev/null \
    -w '%{http_code}' "https://${names[0]}/" | grep -qx 200
}
check "the site answers curl through Sentorix" curl_fetch

# The analyses, in one place.
cat >"$work/analyse.py" <<'PY'
import json, sys
from urllib.parse import urlsplit


def connects(log_slice, wanted_id, *targets):
    """One visit's CONNECTs: all to the site's addresses, each under WANTED_ID with a flow id of its own."""
    blocks, current = [], None
    for line in open(log_slice, errors="replace"):
        line = line.rstrip("\n")
        if line.startswith("sentorix-proxy: CONNECT "):
            current = {"target": line.split()[2], "headers": {}}
            blocks.append(current)
        elif line.startswith("sentorix-proxy: "):
            current = None
        elif current is not None and ": " in line:
            name, value = line.split(": ", 1)
            current["headers"][name.lower()] = value
    ids = [b["headers"].get("x-sentorix-app-id", "") for b in blocks]
    flows = [b["headers"].get("x-sentorix-flow-id", "") for b in blocks]
    per_target = {t: sum(b["target"] == t for b in blocks) for t in targets}
    strangers = sorted({b["target"] for b in blocks} - set(targets))
    print(f"      {len(blocks)} CONNECTs: " + ", ".join(f"{t} x{n}" for t, n in per_target.items()) +
          (f"; elsewhere: {' '.join(strangers)}" if strangers else "") +
          f"; X-Sentorix-App-Id: {', '.join(sorted(set(ids))) or 'none'}")
    with open(log_slice + ".flows", "w") as out:
        out.write("\n".join(flows) + "\n")
    ok = (blocks and not strangers and all(per_target.values()) and set(ids) == {wanted_id} and all(flows) and
          len(set(flows)) == len(flows))
    sys.exit(0 if ok else 1)


def load(path):
    text = open(path, errors="replace").read().rstrip()
    try:
        return json.loads(text)
    except ValueError:  # a browser that was killed leaves its log unterminated
        return json.loads(text.rstrip(",") + "]}")


def netlog(path, names, *addresses):
    """What one visit's net log says about its sockets, its QUIC attempts and its requests."""
    log = load(path)
    constants = log["constants"]
    types = {v: k for k, v in constants["logEventTypes"].items()}
    errors = {v: k for k, v in constants["netError"].items()}
    phases = {v: k for k, v in constants["logEventPhase"].items()}
    names = names.split(",")
    ours = {f"{a}:443" for a in addresses}
    r = {"tcp": 0, "tcp_elsewhere": [], "tcp_failed": [], "udp": [], "udp_errors": {}, "udp_ms": [],
         "udp_elsewhere": [], "udp_sends": 0, "quic_jobs": {}, "quic_job_ms": [], "quic_sessions": 0,
         "requests": 0, "failed": [], "elsewhere": {}, "ipv6_available": None, "jobs": 0, "jobs_held": 0}
    urls, outcome, udp_target, began = {}, {}, {}, {}
    for e in log["events"]:
        kind, phase = types.get(e["type"], "?"), phases.get(e.get("phase"), "?")
        params, source, time = e.get("params") or {}, e["source"]["id"], float(e["time"])
        error = errors.get(params.get("net_error"), params.get("net_error")) if params.get("net_error") else "OK"
        if phase == "PHASE_BEGIN":
            began[(source, kind)] = time
        elapsed = time - began.get((source, kind), time)
        if kind == "TCP_CONNECT_ATTEMPT" and phase == "PHASE_BEGIN":
            if params.get("address") in ours:
                r["tcp"] += 1
            else:
                r["tcp_elsewhere"].append(params.get("address"))
        elif kind == "TCP_CONNECT_ATTEMPT" and phase == "PHASE_END" and error != "OK":
            r["tcp_failed"].append(error)
        elif kind == "UDP_CONNECT" and phase == "PHASE_BEGIN":
            udp_target[source] = params.get("address")
        elif kind == "UDP_CONNECT" and phase == "PHASE_END":
            target = udp_target.get(source)
            if target in ours:
                r["udp"].append(target)
                r["udp_errors"][error] = r["udp_errors"].get(error, 0) + 1
                r["udp_ms"].append(round(elapsed, 1))
            else:
                r["udp_elsewhere"].append(f"{target} {error}")
        elif kind == "UDP_BYTES_SENT":
            r["udp_sends"] += 1
        elif kind == "QUIC_SESSION_POOL_JOB" and phase == "PHASE_END":
            r["quic_job_ms"].append(round(elapsed, 1))
        elif kind == "QUIC_SESSION_POOL_JOB_CONNECT" and phase == "PHASE_END":
            r["quic_jobs"][error] = r["quic_jobs"].get(error, 0) + 1
        elif kind == "QUIC_SESSION" and phase == "PHASE_BEGIN":
            r["quic_sessions"] += 1
        elif kind == "HTTP_STREAM_JOB_WAITING" and phase == "PHASE_BEGIN":
            # should_wait: a TCP job held back for its QUIC rival (the delay of a QUIC known to work)
            r["jobs"] += 1
            r["jobs_held"] += bool(params.get("should_wait"))
        elif kind == "HOST_RESOLVER_MANAGER_IPV6_REACHABILITY_CHECK":
            r["ipv6_available"] = params.get("ipv6_available")
        elif kind == "URL_REQUEST_START_JOB" and phase == "PHASE_BEGIN":
            urls[source] = params.get("url", "")
        elif kind == "REQUEST_ALIVE" and phase == "PHASE_END":
            outcome[source] = error
    for source, url in urls.items():
        host, error = urlsplit(url).hostname, outcome.get(source, "unfinished")
        if host in names:
            r["requests"] += 1
            if error != "OK":
                r["failed"].append(f"{url} {error}")
        else:
            r["elsewhere"][host] = error
    json.dump(r, sys.stdout)


def persisted(path, *names):
    """Which of our names the profile keeps an h3 alternative for, and which it holds broken."""
    state = json.load(open(path))["net"]["http_server_properties"]
    learnt = sorted({n for n in names for s in state.get("servers", [])
                     if s.get("server") == f"https://{n}" and
                     any(a.get("protocol_str") == "quic" for a in s.get("alternative_service", []))})
    broken = sorted({n for n in names for b in state.get("broken_alternative_services", [])
                     if b.get("host") == n and b.get("protocol_str") == "quic"})
    print(json.dumps({"learnt": learnt, "broken": broken}))


if __name__ == "__main__":
    {"connects": connects, "netlog": netlog, "persisted": persisted}[sys.argv[1]](*sys.argv[2:])
PY
field() {  # FILE KEY: one value of a JSON object, lists and objects as JSON
  python3 -c 'import json, sys; v = json.load(open(sys.argv[1]))[sys.argv[2]]
print(json.dumps(v) if isinstance(v, (list, dict)) else v)' "$@"
}
title() { sed -n 's/.*<title>\(.*\)<\/title>.*/\1/p' "$work/$1.dom"; }
title_field() { title "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }

browser_env=(env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
  XDG_CACHE_HOME="$work/home/.cache" TMPDIR="$work/tmp" LANG=C.UTF-8)
mkdir -p "$work/home" "$work/tmp"
# No background services, no updates, no sign-in, no proxy: the page's requests and nothing else.
browser_flags=(--headless=new --no-sandbox --disable-gpu --no-first-run --no-default-browser-check
  --no-proxy-server --host-resolver-rules="$resolver_rules" --ignore-certificate-errors-spki-list="$spki"
  --disable-background-networking --disable-component-update --disable-sync --disable-default-apps
  --disable-extensions --disable-component-extensions-with-background-pages --disable-domain-reliability
  --disable-client-side-phishing-detection --disable-breakpad --no-pings --metrics-recording-only
  --password-store=basic --disable-dev-shm-usage
  --disable-features=OptimizationHints,MediaRouter,DialMediaRouteProvider,Translate,AutofillServerCommunication,CertificateTransparencyComponentUpdater,NetworkTimeServiceQuerying
  --net-log-capture-mode=Everything --window-size=1280,900)
leftovers=0

# visit LABEL PROFILE PATH FLAGS...: loads https://a.test/PATH in the app namespace. Leaves LABEL.dom,
# LABEL.err, LABEL.netlog (and its reading, LABEL.net), LABEL.proxy (the proxy's log meanwhile) and
# LABEL.seconds (the browser's whole run).
visit() {
  local label=$1 profile=$2 path=$3 lines started pid
  shift 3
  lines=$(wc -l <"$work/proxy.log")
  started=$(date +%s.%N)
  timeout -k 3 60 ip netns exec "$SX_APP" "${browser_env[@]}" "$chromium" "${browser_flags[@]}" \
    --user-data-dir="$profile" --log-net-log="$work/$label.netlog" "$@" --dump-dom "https://${names[0]}/$path" \
    >"$work/$label.dom" 2>"$work/$label.err" &
  chromium_pid=$!
  wait "$chromium_pid"
  echo "$?" >"$work/$label.status"
  chromium_pid=
  python3 -c "print(round($(date +%s.%N) - $started, 2))" >"$work/$label.seconds"
  for pid in $(ip netns pids "$SX_APP"); do
    [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$chromium" ] && { kill -9 "$pid"; leftovers=$((leftovers + 1)); }
  done
  sleep 0.3  # the proxy's last lines
  tail -n +"$((lines + 1))" "$work/proxy.log" >"$work/$label.proxy"
  python3 "$work/analyse.py" netlog "$work/$label.netlog" "$(IFS=,; echo "${names[*]}")" "${addresses[@]}" \
    >"$work/$label.net" 2>"$work/$label.net.err" || echo '{}' >"$work/$label.net"
  echo "      $label: browser exited $(cat "$work/$label.status") after $(cat "$work/$label.seconds") s; title: $(title "$label")"
}
page_complete() {  # LABEL: every subresource loaded, none failed, every script ran
  [ "$(title_field "$1" loaded)" = "$expected_resources" ] && [ "$(title_field "$1" failed)" = 0 ] &&
    [ "$(title_field "$1" scripts_ran)" = $(( ${#names[@]} * 3 )) ]
}
relayed_as_chromium() {  # LABEL
  python3 "$work/analyse.py" connects "$work/$1.proxy" "$chromium" "${addresses[@]/%/:443}"
}
every_connection_relayed() {  # LABEL: one CONNECT for each TCP connect of the net log, no socket elsewhere
  local tcp connects
  tcp=$(field "$work/$1.net" tcp)
  connects=$(grep -c '^sentorix-proxy: CONNECT ' "$work/$1.proxy")
  echo "      net log: $tcp TCP connects to the site, $(field "$work/$1.net" tcp_elsewhere) elsewhere," \
    "failed: $(field "$work/$1.net" tcp_failed); proxy: $connects CONNECTs"
  [ "$tcp" -gt 0 ] && [ "$tcp" = "$connects" ] && [ "$(field "$work/$1.net" tcp_elsewhere)" = "[]" ] &&
    [ "$(field "$work/$1.net" tcp_failed)" = "[]" ]
}
no_request_failed() {  # LABEL: no request to the site failed; requests to other names never got a socket
  local net=$work/$1.net
  echo "      net log: $(field "$net" requests) requests to the site, failed: $(field "$net" failed);" \
    "the browser's own, to other names: $(field "$net" elsewhere)"
  [ "$(field "$net" failed)" = "[]" ] &&
    python3 -c 'import json, sys; sys.exit(any(v != "ERR_NAME_NOT_RESOLVED" for v in json.load(open(sys.argv[1]))["elsewhere"].values()))' "$net"
}
handshakes_succeeded() {  # LABEL: the monitor saw each relayed flow's handshake succeed, under Chromium's name
  local i
  for i in $(seq 20); do  # events are sent off the flows' path and may trail them
    handshakes_seen "$1" >/dev/null && break
    sleep 0.1
  done
  handshakes_seen "$1"
}
handshakes_seen() {
  python3 - "$work/events.jsonl" "$work/$1.proxy.flows" "$chromium" <<'PY'
import json, sys
signals, apps = {}, {}
for line in open(sys.argv[1]):
    try:
        e = json.loads(line)
    except ValueError:
        continue
    signals.setdefault(e.get("flow_id"), []).append(e.get("current_signal"))
    if e.get("current_signal") == "connect_handshake_started":
        apps[e.get("flow_id")] = (e.get("context") or {}).get("app_id")
flows = [f for f in open(sys.argv[2]).read().split() if f]
good = [f for f in flows if "connect_handshake_succeeded" in signals.get(f, []) and apps.get(f) == sys.argv[3]]
print(f"      monitor: {len(good)} of {len(flows)} flows started under {sys.argv[3]} and succeeded")
sys.exit(0 if flows and len(good) == len(flows) else 1)
PY
}
no_datagram_arrived() { [ "$(grep -vc '^listening' "$work/udp.log")" = 0 ]; }
state_of() { python3 "$work/analyse.py" persisted "$1/Default/Network Persistent State" "${names[@]}"; }
count_of() { python3 -c 'import json, sys; print(len(json.loads(sys.argv[1])[sys.argv[2]]))' "$@"; }

learnt=$work/profile-learnt
echo "== first visit: one answer from each name, and their Alt-Svc learnt"
visit learn "$learnt" learn --enable-quic
check "the page loads an image from each of the other $(( ${#names[@]} - 1 )) names" [ "$(title_field learn loaded)" = $(( ${#names[@]} - 1 )) ]
check "every connection is relayed: one CONNECT per TCP connect, to the site's addresses only" every_connection_relayed learn
check "every CONNECT carries Chromium's identifier ($chromium) and a flow id of its own" relayed_as_chromium learn
nothing_tried() { [ "$(field "$work/learn.net" udp)" = "[]" ] && [ "$(field "$work/learn.net" quic_jobs)" = "{}" ]; }
check "with nothing learnt before, no QUIC is tried" nothing_tried
learnt_all() {
  local state; state=$(state_of "$learnt")
  echo "      profile: $state"
  [ "$(count_of "$state" learnt)" = "${#names[@]}" ] && [ "$(count_of "$state" broken)" = 0 ]
}
check "the profile keeps h3 on 443 for every name, none broken" learnt_all

quic_refused() {  # LABEL: QUIC tried towards every name, each UDP connect refused at once
  local net=$work/$1.net
  python3 - "$net" "${addresses[@]}" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
slowest = lambda v: max(v) if v else None
print(f"      net log: {len(r['udp'])} UDP connects to {len(set(r['udp']))} of the site's addresses, port 443: "
      f"{r['udp_errors']}, the slowest in {slowest(r['udp_ms'])} ms; QUIC jobs: {r['quic_jobs']}, the slowest "
      f"done in {slowest(r['quic_job_ms'])} ms; QUIC sessions begun: {r['quic_sessions']}")
every_name = {f"{a}:443" for a in sys.argv[2:]} == set(r["udp"])
ok = (every_name and r["udp_errors"] == {"ERR_ACCESS_DENIED": len(r["udp"])} and max(r["udp_ms"]) < 50 and
      set(r["quic_jobs"]) == {"ERR_ACCESS_DENIED"} and max(r["quic_job_ms"]) < 200 and r["quic_sessions"] == 0)
sys.exit(0 if ok else 1)
PY
}
sent_nothing() {  # LABEL
  echo "      net log: other UDP connects: $(field "$work/$1.net" udp_elsewhere); datagrams sent: $(field "$work/$1.net" udp_sends)"
  [ "$(field "$work/$1.net" udp_sends)" = 0 ]
}
all_broken() {  # PROFILE
  local state; state=$(state_of "$1")
  echo "      profile: $state"
  [ "$(count_of "$state" broken)" = "${#names[@]}" ]
}

rounds=3
for round in $(seq "$rounds"); do
  if [ "$round" = 1 ]; then
    echo "== second visit, with the same profile: the page, QUIC tried"
  else
    echo "== round $round of the load times"
  fi
  # Each visit starts from the learnt profile: an alternative one visit marked broken is not tried again.
  rm -rf "$work/profile-quic$round" "$work/profile-off$round"
  cp -a "$learnt" "$work/profile-quic$round"
  cp -a "$learnt" "$work/profile-off$round"
  shot=()
  [ "$round" = 1 ] && shot=(--screenshot="$work/browser-page.png")
  events_before=$(wc -l <"$work/events.jsonl")
  visit "quic$round" "$work/profile-quic$round" "" --enable-quic "${shot[@]}"
  if [ "$round" = 1 ]; then
    check "the page loads: $expected_resources subresources from ${#names[@]} names, none failing, every script run" page_complete quic1
    check "... over TCP (HTTP/1.1)" [ "$(title_field quic1 protocol)" = http/1.1 ]
    check "every connection is relayed: one CONNECT per TCP connect, to the site's addresses only" every_connection_relayed quic1
    check "every CONNECT carries Chromium's identifier and a flow id of its own" relayed_as_chromium quic1
    check "no request to the site failed; the browser's own requests to other names were never resolved" no_request_failed quic1
    check "the monitor saw every relayed handshake start under Chromium's identifier and succeed" handshakes_succeeded quic1
    check "QUIC is tried towards every name; the kernel refuses each UDP connect at once (EPERM: ERR_ACCESS_DENIED)" quic_refused quic1
    check "... no datagram reached the site's UDP port 443" no_datagram_arrived
    check "... and the browser sent none at all" sent_nothing quic1
    check "Chromium marks every name's h3 alternative broken, and stays on TCP" all_broken "$work/profile-quic1"
    echo "      monitor, meanwhile: $(tail -n +"$((events_before + 1))" "$work/events.jsonl" |
      grep -o '"current_signal":"[a-z_]*"' | cut -d'"' -f4 | sort | uniq -c | awk '{printf "%s x%s, ", $2, $1}')" \
      "none for the refused UDP flows (the extension has no event for them)"
  fi
  visit "off$round" "$work/profile-off$round" "" --disable-quic
done

echo "== with QUIC off, and the other rounds"
off_clean() {
  page_complete off1 && every_connection_relayed off1 && relayed_as_chromium off1 &&
    [ "$(field "$work/off1.net" udp)" = "[]" ] && [ "$(field "$work/off1.net" quic_jobs)" = "{}" ]
}
check "with --disable-quic the page loads alike, all relayed as Chromium, and no QUIC is tried" off_clean
other_rounds() {
  local round
  for round in $(seq 2 "$rounds"); do
    { page_complete "quic$round" && page_complete "off$round" && quic_refused "quic$round" &&
      every_connection_relayed "quic$round" && relayed_as_chromium "quic$round"; } >/dev/null ||
      { echo "      round $round differs"; return 1; }
  done
}
check "rounds 2 to $rounds alike: the page complete, QUIC refused, everything relayed as Chromium" other_rounds
check "... and still no datagram reached the site" no_datagram_arrived

echo "== load times (navigation start to the load event, from the page; the browser's whole run)"
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
quic_ms=() off_ms=() quic_s=() off_s=()
for round in $(seq "$rounds"); do
  quic_ms+=("$(title_field "quic$round" load_ms)") off_ms+=("$(title_field "off$round" load_ms)")
  quic_s+=("$(cat "$work/quic$round.seconds")") off_s+=("$(cat "$work/off$round.seconds")")
done
quic_median=$(median "${quic_ms[@]}") off_median=$(median "${off_ms[@]}")
echo "      QUIC tried and refused: ${quic_ms[*]} ms (median $quic_median ms); browser runs ${quic_s[*]} s"
echo "      QUIC off:               ${off_ms[*]} ms (median $off_median ms); browser runs ${off_s[*]} s"
never_held() {
  local round jobs=0 held=0
  for round in $(seq "$rounds"); do
    jobs=$((jobs + $(field "$work/quic$round.net" jobs))) held=$((held + $(field "$work/quic$round.net" jobs_held)))
  done
  echo "      net log: $held of $jobs stream jobs held back for QUIC"
  [ "$jobs" -gt 0 ] && [ "$held" = 0 ]
}
check "no TCP job waited for QUIC" never_held
# A QUIC timer waited out costs seconds (a handshake's); a busy machine, a few hundred milliseconds.
no_quic_wait() { [ -n "$quic_median" ] && [ -n "$off_median" ] && [ "$quic_median" -le $((off_median + 500)) ]; }
check "refused QUIC costs the page no wait: the median load within 500 ms of QUIC off's" no_quic_wait

if [ -n "$shots" ]; then
  mkdir -p "$shots" && cp "$work/browser-page.png" "$shots/browser-page.png" 2>/dev/null
  check "a screenshot of the loaded page: $shots/browser-page.png" test -s "$shots/browser-page.png"
else
  check "a screenshot of the loaded page" test -s "$work/browser-page.png"
fi
still_running() { kill -0 "$extension_pid" 2>/dev/null; }
check "the extension is still running" still_running

echo "== control: the same second visit with the extension stopped"
# What the checks above would see without the refusal: Chromium's QUIC reaching the site's UDP port.
kill "$extension_pid"; wait "$extension_pid" 2>/dev/null; extension_pid=
cp -a "$learnt" "$work/profile-direct"
visit direct "$work/profile-direct" "" --enable-quic
direct_quic() {
  local net=$work/direct.net
  echo "      net log: UDP connects $(field "$net" udp_errors); datagrams sent: $(field "$net" udp_sends);" \
    "the site received $(grep -vc '^listening' "$work/udp.log"); ipv6_available=$(field "$net" ipv6_available)"
  [ "$(field "$net" udp_errors)" != "{}" ] && ! no_datagram_arrived &&
    [ "$(field "$net" udp_errors)" = "{\"OK\": $(count_of "$(cat "$net")" udp)}" ] &&
    [ "$(grep -c '^sentorix-proxy: CONNECT ' "$work/direct.proxy")" = 0 ]
}
check "without the extension Chromium's QUIC datagrams reach the site, and nothing is relayed" direct_quic
check "... and the page loads as well" page_complete direct
echo "      note: Chromium's IPv6 probe, a UDP connect to [2001:4860:4860::8888]:443 that sends nothing, is refused" \
  "under Sentorix too: ipv6_available=$(field "$work/quic1.net" ipv6_available) with the extension," \
  "$(field "$work/direct.net" ipv6_available) without; Chromium then asks for IPv4 addresses only"
check "no browser process outlived its visit" [ "$leftovers" = 0 ]

stop_all
if [ "$failed" -ne 0 ]; then
  echo "== the extension's log ends:"; tail -5 "$work/extension.log" | sed 's/^/  /'
  echo "== the site's errors:"; tail -5 "$work/site.err" | sed 's/^/  /'
fi
echo "      took $(python3 -c "print(round($(date +%s.%N) - $script_start, 1))") s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
