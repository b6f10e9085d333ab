#!/usr/bin/env bash
# Throughput of the queued mail-to-SMS path with the queue's disk flushes on:
#
#   smtp-source --> tolvane (send_mode smtp, store files | postgresql) --> smtp-sink
#
# smtp-source is first run straight against smtp-sink, three times (the reference: the
# median of the sink's own rates on this machine right now), then the same load goes through the gateway at log
# level info, once with the local journal (store files) and once with the queue in a
# private PostgreSQL server (store postgresql, fsync on) started here. Printed for each:
# mails/s in, SMS/s out (until the last SUCCESS record), the ratio of SMS/s out to the
# sink's rate, the journal's disk flushes or the database's commits per mail (the
# gateway's own count of commits it waited to reach the disk, and pg_stat_database's
# xact_commit, which counts every transaction), the gateway's CPU seconds (user + system) and its peak memory (VmHWM).
#
#   bench/queue_load.sh [build-dir] [mails] [sessions] [bytes]
#
# Defaults: build, 10000 mails, 20 sessions, 1024-byte mails, one recipient each. Needs
# smtp-source and smtp-sink (postfix) and PostgreSQL's server (STORES=files skips it).
# Free loopback ports, a temporary directory, and everything it started is stopped, also
# when interrupted.
set -euo pipefail

build=${1:-build}
mails=${2:-10000}
sessions=${3:-20}
bytes=${4:-1024}
bin="$(cd "$build" 2>/dev/null && pwd)/tolvane"
[ -x "$bin" ] || { echo "no gateway at $bin (build it first)" >&2; exit 1; }
py=/usr/bin/python3
for t in smtp-source smtp-sink $py; do
  command -v "$t" >/dev/null || { echo "missing $t" >&2; exit 1; }
done

tmp=$(mktemp -d /tmp/tv-queuebench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]:-}"; do
    [ -n "$p" ] && kill "$p" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  if [ -n "${pgdata:-}" ]; then
    $pgrun "$pgbin/pg_ctl" stop -m immediate -D "$pgdata" >/dev/null 2>&1 || true
  fi
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

source_args=(-s "$sessions" -m "$mails" -l "$bytes" -f bench@corp.example
             -t 0412345678@gw.example -S "load test")
# The sink alone takes only a second or two, so one run of it swings with whatever else
# the machine does in that second: three runs, and the median is the reference.
sink_rates=()
for _ in 1 2 3; do
  t0=$(now)
  smtp-source "${source_args[@]}" 127.0.0.1:"$sink_port"
  t1=$(now)
  sink_rates+=("$(rate "$mails" "$(secs "$t0" "$t1")")")
done
sink_rate=$(printf '%s\n' "${sink_rates[@]}" | sort -n | sed -n 2p)
echo "smtp-sink alone: $mails mails of $bytes bytes, three runs: ${sink_rates[*]} mails/s; median $sink_rate mails/s"

run_gateway() {
store=$1
home="$tmp/home-$store"
mkdir -p "$home/work"
port=$(free_port)
cat > "$home/tolvane.ini" <<INI
home $home
workpath $home/work
logpath $home
loglevel info
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
send_workers ${SEND_WORKERS:-4}
limit name="msgrec" from="1000000000" to="1000000000" period="24"
INI
if [ "$store" = postgresql ]; then
  printf 'store postgresql\nstore_dsn %s\n' "$pgdsn" >> "$home/tolvane.ini"
  xact0=$(pg_commits)
fi
(cd "$home" && exec "$bin" -config "$home/tolvane.ini" -foreground >"$home/stdout.txt" 2>&1) &
gpid=$!
pids+=($gpid)
wait_port "$port" || { tail -5 "$home/stdout.txt" "$home/tolvane.log" >&2; exit 1; }

day="$home/work/$(date +%Y%m%d).rec"
t_start=$(now)
smtp-source "${source_args[@]}" 127.0.0.1:"$port"
t_in=$(now)
done=0
for _ in $(seq 1 12000); do
  if [ "$store" = postgresql ]; then
    # The records are rows of the database now: an empty queue means every SMS has its
    # outcome (the row goes once the outcome is written).
    left=$(pg_sql "SELECT count(*) FROM tv_queue")
    [ "${left:-1}" -eq 0 ] && { done=$mails; break; }
  else
    done=$( (grep -c '^SUCCESS' "$day" 2>/dev/null) || true)
    [ "${done:-0}" -ge "$mails" ] && break
  fi
  if ! kill -0 "$gpid" 2>/dev/null; then echo "gateway ended" >&2; break; fi
  if [ "$store" = postgresql ]; then sleep 0.2; else sleep 0.05; fi
done
t_out=$(now)
hwm=$(awk '/^VmHWM/ {print $2 " " $3}' "/proc/$gpid/status" 2>/dev/null || echo "?")
tck=$(getconf CLK_TCK)
cpu=$(awk -v t="$tck" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$gpid/stat" 2>/dev/null || echo "?")
if [ "$store" = postgresql ]; then
  recs=$("$bin" -config "$home/tolvane.ini" -records "$(date +%Y%m%d)" rec 2>/dev/null || true)
  failures=$(printf '%s\n' "$recs" | grep -c '^FAILURE' || true)
  done=$(printf '%s\n' "$recs" | grep -c '^SUCCESS' || true)
else
  failures=$( (grep -c '^FAILURE' "$day" 2>/dev/null) || true)
fi
touch "$home/tolvane.exit"
for _ in $(seq 1 400); do kill -0 "$gpid" 2>/dev/null || break; sleep 0.05; done
if [ "$store" = postgresql ]; then
  flushes=$(sed -n 's/.*Queue: \([0-9]*\) durable commits in this run.*/\1/p' "$home/tolvane.log" | tail -1)
  xact=$(( $(pg_commits) - xact0 ))
else
  flushes=$(sed -n 's/.*Queue journal: \([0-9]*\) disk flushes in this run.*/\1/p' "$home/tolvane.log" | tail -1)
fi
in_secs=$(secs "$t_start" "$t_in")
out_secs=$(secs "$t_start" "$t_out")
in_rate=$(rate "$mails" "$in_secs")
out_rate=$(rate "${done:-0}" "$out_secs")
ratio=$(awk -v o="$out_rate" -v s="$sink_rate" 'BEGIN { printf "%.2f", (s > 0 ? o / s : 0) }')
per_mail=$(awk -v f="${flushes:-0}" -v n="$mails" 'BEGIN { printf "%.3f", (n > 0 ? f / n : 0) }')
if [ "$store" = postgresql ]; then
  xact_per=$(awk -v f="$xact" -v n="$mails" 'BEGIN { printf "%.3f", (n > 0 ? f / n : 0) }')
  flushed="durable commits ${flushes:-?} (${per_mail} per mail), xact_commit $xact (${xact_per} per mail)"
else
  flushed="journal flushes ${flushes:-?} (${per_mail} per mail)"
fi
echo "gateway, store $store (fsync on, loglevel info): $mails mails in ${in_secs}s = $in_rate mails/s in;" \
     "${done:-0} SMS out in ${out_secs}s = $out_rate SMS/s (${ratio}x smtp-sink);" \
     "failures ${failures:-0}; $flushed;" \
     "CPU ${cpu}s; peak memory VmHWM $hwm"
}

stores=${STORES:-files postgresql}
case " $stores " in
  *" postgresql "*)
    # A private server: initdb and postgres refuse root, so they run as postgres then.
    pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
    [ -x "$pgbin/initdb" ] || { echo "no PostgreSQL server (scripts/install-deps)" >&2; exit 1; }
    pgrun=""
    pgdir="$tmp/pg"
    mkdir -p "$pgdir"
    if [ "$(id -u)" -eq 0 ]; then
      pgrun="runuser -u postgres --"
      chown postgres "$tmp" "$pgdir"
      chmod 755 "$tmp"
    fi
    pgport=$(free_port)
    $pgrun "$pgbin/initdb" -D "$pgdir/data" -A trust -U postgres -E UTF8 --locale=C >/dev/null
    pgdata="$pgdir/data"
    $pgrun "$pgbin/pg_ctl" start -w -D "$pgdata" -l "$pgdir/server.log" \
      -o "-p $pgport -k $pgdir -c listen_addresses=127.0.0.1" >/dev/null
    pgdsn="host=127.0.0.1 port=$pgport user=postgres dbname=postgres"
    pg_sql() { psql -X -A -t -h 127.0.0.1 -p "$pgport" -U postgres -d postgres -c "$1"; }
    pg_commits() { pg_sql "SELECT xact_commit FROM pg_stat_database WHERE datname = 'postgres'"; }
    ;;
esac
for st in $stores; do run_gateway "$st"; done
