#!/usr/bin/env bash
# Load benchmark of the mail-to-SMS path with real peers:
#
#   smtp-source --> tolvane (send_mode smtp) --> smtp-sink
#
# First smtp-source is run straight against smtp-sink, which gives the sink's own
# acceptance rate on this machine right now (the reference). Then the same load
# goes into the gateway, once at log level info and once at the default level
# debug. All of it twice: with smtp-source's default of one connection per mail,
# and with -d (all mails of a session over one connection, which the gateway hands
# from thread to thread; the sink's reference is then much higher, since the
# gateway still relays each SMS over a connection of its own); the gateway turns every mail into an SMS mailed to the number at
# smtp_sms_todomain, relayed to the same smtp-sink. Printed per run: mails/s taken
# in (smtp-source's wall time), SMS/s out (until the last SUCCESS record), their
# ratio to the sink's rate, and the gateway's peak resident memory (VmHWM).
#
#   bench/gateway_mail_load.sh [build-dir] [mails] [sessions]
#
# Defaults: build, 10000 mails, 20 sessions, one recipient each. Needs smtp-source
# and smtp-sink (postfix). Uses free loopback ports and a temporary directory, and
# stops everything it started, also when interrupted.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
mails=${2:-10000}
sessions=${3:-20}
bin="$(cd "$build" 2>/dev/null && pwd)/tolvane"
[ -x "$bin" ] || { echo "no gateway at $bin (build it first)" >&2; exit 1; }
py=/usr/bin/python3
for t in smtp-source smtp-sink $py; do
  command -v "$t" >/dev/null || { echo "missing $t" >&2; exit 1; }
done

tmp=$(mktemp -d /tmp/tv-mailbench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]:-}"; do
    [ -n "$p" ] && kill "$p" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

free_port() {
  $py -S -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
rate() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.0f", (t > 0 ? n / t : 0) }'; }
wait_port() {
  for _ in $(seq 1 400); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nothing listens on $1" >&2
  return 1
}

user=$(id -un)
sink_port=$(free_port)
smtp-sink -u "$user" 127.0.0.1:"$sink_port" 256 >/dev/null 2>&1 &
pids+=($!)
wait_port "$sink_port"

source_args=()
sink_rate=0
reference() {
  local t0 t1 sink_secs
  t0=$(now)
  smtp-source "${source_args[@]}" 127.0.0.1:"$sink_port"
  t1=$(now)
  sink_secs=$(secs "$t0" "$t1")
  sink_rate=$(rate "$mails" "$sink_secs")
  echo "smtp-sink alone: $mails mails in ${sink_secs}s = $sink_rate mails/s"
}

run_gateway() {
  local level=$1
  local home="$tmp/home-$level${persistent}"
  mkdir -p "$home/work"
  local port
  port=$(free_port)
  cat > "$home/tolvane.ini" <<EOF
home $home
workpath $home/work
logpath $home
loglevel $level
smtp_inport $port
web_port $(free_port)
web_https false
delivery_mode smtp
recv_mode none
smtp_outserver 127.0.0.1
smtp_outport $sink_port
smtp_sms_todomain sms.provider.example
smtp_domain gw.example
smtp_debug_file disabled
phone_country +61
from_limit 0
to_limit 0
limit name="msgrec" from="1000000000" to="1000000000" period="24"
EOF
  (cd "$home" && exec "$bin" -config "$home/tolvane.ini" -foreground >"$home/stdout.txt" 2>&1) &
  local gpid=$!
  pids+=($gpid)
  wait_port "$port" || { cat "$home/stdout.txt" "$home/tolvane.log" 2>/dev/null | tail -5 >&2; return 1; }

  local day
  day="$home/work/$(date +%Y%m%d).rec"
  local t_start t_in t_out
  t_start=$(now)
  smtp-source "${source_args[@]}" 127.0.0.1:"$port"
  t_in=$(now)
  # SMS/s out: until every mail has its record (the relay to the sink has answered).
  local done=0
  for _ in $(seq 1 6000); do
    done=$( (grep -c '^SUCCESS' "$day" 2>/dev/null) || true)
    [ "${done:-0}" -ge "$mails" ] && break
    if ! kill -0 "$gpid" 2>/dev/null; then echo "gateway ended" >&2; break; fi
    sleep 0.05
  done
  t_out=$(now)
  local hwm failures
  hwm=$(awk '/^VmHWM/ {print $2 " " $3}' "/proc/$gpid/status" 2>/dev/null || echo "?")
  failures=$( (grep -c '^FAILURE' "$day" 2>/dev/null) || true)
  touch "$home/tolvane.exit"
  for _ in $(seq 1 200); do kill -0 "$gpid" 2>/dev/null || break; sleep 0.05; done
  kill "$gpid" 2>/dev/null || true
  local in_secs out_secs in_rate out_rate
  in_secs=$(secs "$t_start" "$t_in")
  out_secs=$(secs "$t_start" "$t_out")
  in_rate=$(rate "$mails" "$in_secs")
  out_rate=$(rate "${done:-0}" "$out_secs")
  local ratio
  ratio=$(awk -v o="$out_rate" -v s="$sink_rate" 'BEGIN { printf "%.2f", (s > 0 ? o / s : 0) }')
  echo "gateway, loglevel $level: $mails mails in ${in_secs}s = $in_rate mails/s in;" \
       "${done:-0} SMS out in ${out_secs}s = $out_rate SMS/s (${ratio} of smtp-sink);" \
       "failures ${failures:-0}; peak memory VmHWM $hwm; spool files left" \
       "$(find "$home/work" -name '*.msg' | wc -l)"
}

for persistent in "" "-d"; do
  source_args=(-s "$sessions" -m "$mails" $persistent -l 200 -N -f bench@corp.example
               -t 0412345678@gw.example -S "load test")
  if [ -z "$persistent" ]; then
    echo "== $sessions sessions, one connection per mail, one recipient each =="
  else
    echo "== $sessions sessions, -d: one connection per session, one recipient each =="
  fi
  reference
  run_gateway info
  run_gateway debug
done
