#!/usr/bin/env bash
# End to end with a real browser: headless Chromium in the extension's network namespace loads an HTTPS
# page with 68 subresources from four host names, every connection relayed through sentorix-proxy
# under Chromium's identifier. Then the page's Alt-Svc (h3) is learnt and, on the next visit, Chromium's
# QUIC attempts are refused in the kernel and the page loads over TCP as fast as with QUIC off.
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
cleanup() { stop_all; sx_sandbox_down; [ -n "${SX_KEEP:-}" ] && echo "kept $work" || rm -rf "$work"; }
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

# The analyses, kept in one place.
cat >"$work/analyse.py" <<'PY'
import json, sys

def connects(log_slice, wanted_id, *targets):
    """The CONNECTs of one visit: every one to our names' addresses, under WANTED_ID, with a flow id."""
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
          (f"; elsewhere: {' '.join(strangers)}" if strangers else ""))
    wrong = sorted({i for i in ids if i != wanted_id})
    if wrong:
        print("      identifiers other than Chromium's: " + ", ".join(repr(i) for i in wrong))
    with open(log_slice + ".flows", "w") as out:
        out.write("\n".join(flows) + "\n")
    ok = (blocks and not strangers and all(per_target.values()) and not wrong and all(flows) and
          len(set(flows)) == len(flows))
    sys.exit(0 if ok else 1)

def load(path):
    text = open(path, errors="replace").read().rstrip()
    try:
        return json.loads(text)
    except ValueError:  # a browser that was killed leaves the log unterminated
        return json.loads(text.rstrip(",") + "]}")

def netlog(path, *addresses):
    """What one visit's net log says: TCP connects, QUIC attempts and how they ended, failed requests."""
    log = load(path)
    constants = log["constants"]
    types = {v: k for k, v in constants["logEventTypes"].items()}
    sources = {v: k for k, v in constants["logSourceType"].items()}
    errors = {v: k for k, v in constants["netError"].items()}
    phases = {v: k for k, v in constants["logEventPhase"].items()}
    ours = {f"{a}:443" for a in addresses}
    report = {"tcp": [], "tcp_failed": [], "tcp_elsewhere": [], "udp": [], "udp_errors": {}, "quic_errors": {},
              "quic_ms": [], "requests": 0, "failed_requests": [], "elsewhere_requests": [], "quic_sessions": 0}
    urls, udp_started = {}, {}
    for e in log["events"]:
        kind, phase, params = types.get(e["type"], "?"), phases.get(e.get("phase"), "?"), e.get("params", {})
        source = e["source"]
        if kind == "TCP_CONNECT_ATTEMPT" and phase == "PHASE_BEGIN":
            (report["tcp"] if params.get("address") in ours else report["tcp_elsewhere"]).append(params.get("address"))
        elif kind == "TCP_CONNECT_ATTEMPT" and phase == "PHASE_END" and params.get("net_error"):
            report["tcp_failed"].append(errors.get(params["net_error"], params["net_error"]))
        elif kind == "UDP_CONNECT" and phase == "PHASE_BEGIN":
            report["udp"].append(params.get("address"))
            udp_started[source["id"]] = float(e["time"])
        elif kind == "UDP_CONNECT" and phase == "PHASE_END" and params.get("net_error"):
            name = errors.get(params["net_error"], params["net_error"])
            report["udp_errors"][name] = report["udp_errors"].get(name, 0) + 1
            if source["id"] in udp_started:
                report["quic_ms"].append(float(e["time"]) - udp_started[source["id"]])
        elif "QUIC" in kind and phase in ("PHASE_END", "PHASE_NONE") and params.get("net_error"):
            name = f"{kind} {errors.get(params['net_error'], params['net_error'])}"
            report["quic_errors"][name] = report["quic_errors"].get(name, 0) + 1
        elif kind == "QUIC_SESSION" and phase == "PHASE_BEGIN":
            report["quic_sessions"] += 1
        elif kind == "URL_REQUEST_START_JOB" and phase == "PHASE_BEGIN":
            urls[source["id"]] = params.get("url", "")
        elif kind == "REQUEST_ALIVE" and phase == "PHASE_END" and params.get("net_error"):
            report["failed_requests"].append((urls.get(source["id"], "?"), errors.get(params["net_error"])))
    report["requests"] = len(urls)
    report["elsewhere_requests"] = sorted({u for u in urls.values()
                                           if not any(u.startswith(f"https://{n}/") for n in NAMES)})
    json.dump(report, sys.stdout)

def persisted(path, *names):
    """Which of our names the profile remembers an h3 alternative for, and which it holds broken."""
    state = json.load(open(path))["net"]["http_server_properties"]
    learnt = sorted(n for n in names for s in state.get("servers", [])
                    if s.get("server") == f"https://{n}" and
                    any(a.get("protocol_str") == "quic" for a in s.get("alternative_service", [])))
    broken = sorted(n for n in names for b in state.get("broken_alternative_services", [])
                    if b.get("host") == n and b.get("protocol_str") == "quic")
    print(json.dumps({"learnt": learnt, "broken": broken}))

NAMES = []
if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "netlog":
        NAMES = args[1].split(",")
        netlog(args[0], *args[2:])
    else:
        {"connects": connects, "persisted": persisted}[command](*args)
PY
field() { python3 -c 'import json,sys; v=json.load(open(sys.argv[1]))[sys.argv[2]]; print(v if not isinstance(v,(list,dict)) else json.dumps(v))' "$@"; }
title_field() { sed -n 's/.*<title>\(.*\)<\/title>.*/\1/p' "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }

export_env=(env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
  XDG_CACHE_HOME="$work/home/.cache" TMPDIR="$work/tmp" LANG=C.UTF-8)
mkdir -p "$work/home" "$work/tmp"
common_flags=(--headless=new --no-sandbox --disable-gpu --no-first-run --no-default-browser-check
  --no-proxy-server --host-resolver-rules="$resolver_rules" --ignore-certificate-errors-spki-list="$spki"
  --disable-background-networking --disable-component-update --disable-sync --disable-default-apps
  --disable-extensions --disable-domain-reliability --disable-client-side-phishing-detection
  --disable-breakpad --no-pings --metrics-recording-only --password-store=basic --disable-dev-shm-usage
  --disable-features=OptimizationHints,MediaRouter,Translate,AutofillServerCommunication,CertificateTransparencyComponentUpdater,DialMediaRouteProvider,NetworkTimeServiceQuerying
  --net-log-capture-mode=Everything --window-size=1280,900)

# visit LABEL PROFILE FLAGS...: loads the page in the app namespace. Writes LABEL.dom, LABEL.err,
# LABEL.netlog, LABEL.proxy (the proxy's log of this visit) and LABEL.seconds (wall clock).
visit() {
  local label=$1 profile=$2 lines started
  shift 2
  lines=$(wc -l <"$work/proxy.log")
  started=$(date +%s.%N)
  timeout -k 3 60 ip netns exec "$SX_APP" "${export_env[@]}" "$chromium" "${common_flags[@]}" \
    --user-data-dir="$profile" --log-net-log="$work/$label.netlog" "$@" --dump-dom "https://${names[0]}/" \
    >"$work/$label.dom" 2>"$work/$label.err" &
  chromium_pid=$!
  wait "$chromium_pid"
  echo "$?" >"$work/$label.status"
  chromium_pid=
  python3 -c "print(round($(date +%s.%N) - $started, 2))" >"$work/$label.seconds"
  sleep 0.3  # the proxy's last lines
  tail -n +"$((lines + 1))" "$work/proxy.log" >"$work/$label.proxy"
  python3 "$work/analyse.py" netlog "$work/$label.netlog" "$(IFS=,; echo "${names[*]}")" "${addresses[@]}" \
    >"$work/$label.net.json" 2>"$work/$label.net.err" || echo "{}" >"$work/$label.net.json"
  echo "      $label: chromium exit $(cat "$work/$label.status") after $(cat "$work/$label.seconds") s;" \
    "title: $(sed -n 's/.*<title>\(.*\)<\/title>.*/\1/p' "$work/$label.dom")"
}
page_complete() {  # LABEL: every subresource loaded, none failed, the scripts ran
  local dom=$work/$1.dom
  [ "$(title_field "$dom" loaded)" = "$expected_resources" ] && [ "$(title_field "$dom" failed)" = 0 ] &&
    [ "$(title_field "$dom" scripts_ran)" = $(( ${#names[@]} * 3 )) ]
}
relayed_as_chromium() {  # LABEL
  python3 "$work/analyse.py" connects "$work/$1.proxy" "$chromium" "${addresses[@]/%/:443}"
}
every_connection_relayed() {  # LABEL: each TCP connect in the net log is one CONNECT, none elsewhere
  local tcp connects elsewhere
  tcp=$(field "$work/$1.net.json" tcp | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))')
  elsewhere=$(field "$work/$1.net.json" tcp_elsewhere)
  connects=$(grep -c '^sentorix-proxy: CONNECT ' "$work/$1.proxy")
  echo "      net log: $tcp TCP connects to the site, elsewhere: $elsewhere; proxy: $connects CONNECTs"
  [ "$tcp" -gt 0 ] && [ "$tcp" = "$connects" ] && [ "$elsewhere" = "[]" ]
}
no_request_failed() {  # LABEL: no request of the net log failed, none left the site's names
  local failed elsewhere
  failed=$(field "$work/$1.net.json" failed_requests)
  elsewhere=$(field "$work/$1.net.json" elsewhere_requests)
  echo "      net log: $(field "$work/$1.net.json" requests) requests; failed: $failed; to other names: $elsewhere"
  [ "$failed" = "[]" ] && [ "$elsewhere" = "[]" ]
}
handshakes_succeeded() {  # LABEL: the monitor saw each relayed flow's handshake succeed
  python3 - "$work/events.jsonl" "$work/$1.proxy.flows" <<'PY'
import json, sys
events = {}
for line in open(sys.argv[1]):
    try:
        e = json.loads(line)
    except ValueError:
        continue
    events.setdefault(e.get("flow_id"), []).append(e.get("current_signal"))
flows = [f for f in open(sys.argv[2]).read().split() if f]
missing = [f for f in flows if "connect_handshake_succeeded" not in events.get(f, [])]
print(f"      monitor: {len(flows) - len(missing)} of {len(flows)} flows with connect_handshake_succeeded")
sys.exit(0 if flows and not missing else 1)
PY
}
no_datagram_arrived() { ! grep -qv '^listening' "$work/udp.log"; }

profile=$work/profile
echo "== first visit: the page through Sentorix, and its Alt-Svc learnt"
visit first "$profile" --enable-quic
check "the page loads: $expected_resources subresources from ${#names[@]} names, none failing" page_complete first
check "every connection is relayed: one CONNECT per TCP connect, to the site's addresses only" every_connection_relayed first
check "every CONNECT carries Chromium's identifier ($chromium) and a flow id of its own" relayed_as_chromium first
check "no request failed or went to another name" no_request_failed first
check "the monitor saw every relayed handshake succeed" handshakes_succeeded first
first_quic() { [ "$(field "$work/first.net.json" udp)" = "[]" ] && [ "$(field "$work/first.net.json" quic_sessions)" = 0 ]; }
check "with nothing learnt yet, no QUIC is tried" first_quic
learnt() {
  local state; state=$(python3 "$work/analyse.py" persisted "$profile/Default/Network Persistent State" "${names[@]}")
  echo "      profile: $state"
  [ "$(echo "$state" | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["learnt"]))')" = "${#names[@]}" ]
}
check "the profile remembers h3 on 443 for every name (Alt-Svc)" learnt
# The QUIC-off runs start from the same learnt profile.
cp -a "$profile" "$work/profile-learnt"

rounds=3
for round in $(seq "$rounds"); do
  echo "== round $round: a visit that tries QUIC, and one with QUIC off"
  rm -rf "$work/profile-q$round" "$work/profile-off$round"
  cp -a "$work/profile-learnt" "$work/profile-q$round"
  cp -a "$work/profile-learnt" "$work/profile-off$round"
  shot=()
  [ "$round" = 1 ] && shot=(--screenshot="$work/browser-page.png")
  visit "quic$round" "$work/profile-q$round" --enable-quic "${shot[@]}"
  visit "off$round" "$work/profile-off$round" --disable-quic
done

echo "== the visits that try QUIC"
quic_refused() {  # LABEL: Chromium tried QUIC to the site, and the kernel refused it at once
  local net=$work/$1.net.json udp errors
  udp=$(field "$net" udp)
  errors=$(field "$net" udp_errors)
  echo "      net log: UDP connects $udp; their errors $errors; QUIC errors $(field "$net" quic_errors);" \
    "refused after $(field "$net" quic_ms) ms; QUIC sessions begun $(field "$net" quic_sessions)"
  python3 - "$net" "${addresses[@]}" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
ours = {f"{a}:443" for a in sys.argv[2:]}
ok = (r["udp"] and set(r["udp"]) <= ours and r["udp_errors"] == {"ERR_ACCESS_DENIED": len(r["udp"])} and
      max(r["quic_ms"]) < 50)
sys.exit(0 if ok else 1)
PY
}
check "QUIC is tried on the second visit, to the site's addresses, and each UDP connect is refused (EPERM: ERR_ACCESS_DENIED) at once" quic_refused quic1
check "... and the refusals happened in the kernel: no datagram reached the site's UDP port 443" no_datagram_arrived
check "the page still loads over TCP, none failing" page_complete quic1
check "... over HTTP/1.1" [ "$(title_field "$work/quic1.dom" protocol)" = http/1.1 ]
check "every connection is relayed" every_connection_relayed quic1
check "every CONNECT carries Chromium's identifier" relayed_as_chromium quic1
check "no request failed or went to another name" no_request_failed quic1
check "the monitor saw every relayed handshake succeed" handshakes_succeeded quic1
broken() {
  local state; state=$(python3 "$work/analyse.py" persisted "$work/profile-q1/Default/Network Persistent State" "${names[@]}")
  echo "      profile: $state"
  [ "$(echo "$state" | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["broken"]))')" -ge 1 ]
}
check "Chromium marks the refused h3 alternative broken" broken
all_rounds() {
  local round
  for round in $(seq 2 "$rounds"); do
    page_complete "quic$round" && page_complete "off$round" && quic_refused "quic$round" >/dev/null &&
      every_connection_relayed "quic$round" >/dev/null && relayed_as_chromium "quic$round" >/dev/null ||
      { echo "      round $round"; return 1; }
  done
}
check "the other rounds alike: the page complete with QUIC refused and with QUIC off" all_rounds
off_untried() { [ "$(field "$work/off1.net.json" udp)" = "[]" ]; }
check "with --disable-quic, no QUIC is tried" off_untried

echo "== load times"
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
quic_ms=() off_ms=() quic_s=() off_s=()
for round in $(seq "$rounds"); do
  quic_ms+=("$(title_field "$work/quic$round.dom" load_ms)") off_ms+=("$(title_field "$work/off$round.dom" load_ms)")
  quic_s+=("$(cat "$work/quic$round.seconds")") off_s+=("$(cat "$work/off$round.seconds")")
done
quic_median=$(median "${quic_ms[@]}") off_median=$(median "${off_ms[@]}")
echo "      QUIC tried and refused: load event after ${quic_ms[*]} ms (median $quic_median); browser runs ${quic_s[*]} s"
echo "      QUIC off:               load event after ${off_ms[*]} ms (median $off_median); browser runs ${off_s[*]} s"
# A QUIC timer waited out would cost 300 ms at least (the main job's delay) or seconds (a handshake).
no_quic_wait() { [ -n "$quic_median" ] && [ -n "$off_median" ] && [ "$quic_median" -le $((off_median + 300)) ]; }
check "refused QUIC costs the page no wait: its median within 300 ms of QUIC off's" no_quic_wait

if [ -n "$shots" ]; then
  mkdir -p "$shots" && cp "$work/browser-page.png" "$shots/browser-page.png" 2>/dev/null
  check "screenshot of the loaded page in $shots/browser-page.png" test -s "$shots/browser-page.png"
else
  check "screenshot of the loaded page taken" test -s "$work/browser-page.png"
fi

still_running() { kill -0 "$extension_pid" 2>/dev/null; }
check "the extension is still running" still_running
stop_all
if [ "$failed" -ne 0 ]; then
  echo "== the extension's log ends:"; tail -10 "$work/extension.log" | sed 's/^/  /'
  echo "== chromium's last error output (quic1):"; tail -10 "$work/quic1.err" | sed 's/^/  /'
fi
echo "      took $(python3 -c "print(round($(date +%s.%N) - $script_start, 1))") s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
