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
# For the database also: its WAL flushes (pg_stat_wal's wal_sync: the commits somebody
# waited for the disk, whoever asked), its CPU seconds (every server process, the ended
# ones through the postmaster), and with PG_STATEMENTS=1 the statements it ran
# (pg_stat_statements, preloaded for that: calls and server time per mail). Then two gateways on the same database (STORES
# names "pg2"), each fed half of the mails by its own smtp-source at the same time: their
# sum of SMS/s against one gateway's rate of the same run, and CPU seconds per mail.
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

# The CPU seconds (user + system) of the database server so far: its live processes and,
# through the postmaster, the ones that ended.
pg_cpu() {
  local tck pm
  tck=$(getconf CLK_TCK)
  pm=$(head -1 "$pgdata/postmaster.pid")
  { cat "/proc/$pm/stat"; for p in $(pgrep -P "$pm"); do cat "/proc/$p/stat" 2>/dev/null; done; } |
    awk -v t="$tck" -v pm="$pm" '{ s += $14 + $15; if ($1 == pm) s += $16 + $17 }
                                 END { printf "%.2f", s / t }'
}
pg_wal_syncs() { pg_sql "SELECT wal_sync FROM pg_stat_wal"; }
pg_statements() {
  [ "${PG_STATEMENTS:-0}" = 1 ] || { echo 0; return; }
  pg_sql "SELECT coalesce(sum(calls), 0) FROM pg_stat_statements"
}
per() { awk -v f="$1" -v n="$2" 'BEGIN { printf "%.3f", (n > 0 ? f / n : 0) }'; }

# One gateway's settings in $1 (its home), on the store $2, printing its SMTP port.
write_settings() {
local home=$1 store=$2 port
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
if [ "$store" != files ]; then
  printf 'store postgresql\nstore_dsn %s\n' "$pgdsn" >> "$home/tolvane.ini"
fi
echo "$port"
}

run_gateway() {
store=$1
home="$tmp/home-$store"
port=$(write_settings "$home" "$store")
if [ "$store" = postgresql ]; then
  xact0=$(pg_commits); wal0=$(pg_wal_syncs); pgcpu0=$(pg_cpu); stmt0=$(pg_statements)
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
  pg_done=$done
else
  failures=$( (grep -c '^FAILURE' "$day" 2>/dev/null) || true)
fi
touch "$home/tolvane.exit"
for _ in $(seq 1 400); do kill -0 "$gpid" 2>/dev/null || break; sleep 0.05; done
if [ "$store" = postgresql ]; then
  flushes=$(sed -n 's/.*Queue: \([0-9]*\) durable commits in this run.*/\1/p' "$home/tolvane.log" | tail -1)
  xact=$(( $(pg_commits) - xact0 ))
  wal=$(( $(pg_wal_syncs) - wal0 ))
  stmts=$(( $(pg_statements) - stmt0 ))
  pgcpu=$(awk -v a="$pgcpu0" -v b="$(pg_cpu)" 'BEGIN { printf "%.2f", b - a }')
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
  flushed="durable commits ${flushes:-?} (${per_mail} per mail), xact_commit $xact (${xact_per} per mail),"
  flushed+=" WAL flushes $wal ($(per "$wal" "$mails") per mail)"
  if [ "${PG_STATEMENTS:-0}" = 1 ]; then
    flushed+=", statements $stmts ($(per "$stmts" "$mails") per mail)"
    pg_sql "SELECT round(calls::numeric / $mails, 3) || ' (' ||
              round((total_exec_time * 1000 / $mails)::numeric, 1) || ' us) ' ||
              left(regexp_replace(query, '\s+', ' ', 'g'), 90)
            FROM pg_stat_statements ORDER BY calls DESC LIMIT 14" > "$tmp/statements-$store.txt"
    pg_sql "SELECT pg_stat_statements_reset()" >/dev/null
  fi
  flushed+="; PostgreSQL CPU ${pgcpu}s ($(per "$(awk -v c="$pgcpu" 'BEGIN{print c*1000}')" "$mails") s per 1,000 mails)"
else
  flushed="journal flushes ${flushes:-?} (${per_mail} per mail)"
fi
echo "gateway, store $store (fsync on, loglevel info): $mails mails in ${in_secs}s = $in_rate mails/s in;" \
     "${done:-0} SMS out in ${out_secs}s = $out_rate SMS/s (${ratio}x smtp-sink);" \
     "failures ${failures:-0}; $flushed;" \
     "CPU ${cpu}s ($(per "$(awk -v c="$cpu" 'BEGIN{print c*1000}')" "$mails") s per 1,000 mails); peak memory VmHWM $hwm"
[ -s "$tmp/statements-$store.txt" ] && sed 's/^/  per mail: /' "$tmp/statements-$store.txt"
[ "$store" = files ] && files_rate=$out_rate
[ "$store" = postgresql ] && pg_rate=$out_rate
[ "$store" = postgresql ] && [ -n "${files_rate:-}" ] &&
  echo "store postgresql against store files: $(awk -v a="$pg_rate" -v b="$files_rate" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')x"
return 0
}

# Two gateways on the one database, each fed half of the mails at the same time.
run_pair() {
local homes=("$tmp/home-pg2a" "$tmp/home-pg2b") ports=() gp=() half=$((mails / 2)) i
for i in 0 1; do
  ports[$i]=$(write_settings "${homes[$i]}" pg2)
  (cd "${homes[$i]}" && exec "$bin" -config "${homes[$i]}/tolvane.ini" -foreground \
     >"${homes[$i]}/stdout.txt" 2>&1) &
  gp[$i]=$!
  pids+=($!)
done
for i in 0 1; do wait_port "${ports[$i]}"; done
xact0=$(pg_commits); wal0=$(pg_wal_syncs); pgcpu0=$(pg_cpu)
local t_start t_out left sp=()
t_start=$(now)
for i in 0 1; do
  smtp-source -s "$sessions" -m "$half" -l "$bytes" -f bench@corp.example \
    -t 0412345678@gw.example -S "load test" 127.0.0.1:"${ports[$i]}" &
  sp[$i]=$!
done
wait "${sp[0]}" "${sp[1]}"
for _ in $(seq 1 12000); do
  left=$(pg_sql "SELECT count(*) FROM tv_queue")
  [ "${left:-1}" -eq 0 ] && break
  sleep 0.2
done
t_out=$(now)
local tck cpu=0 c
tck=$(getconf CLK_TCK)
for i in 0 1; do
  c=$(awk -v t="$tck" '{ printf "%.2f", ($14 + $15) / t }' "/proc/${gp[$i]}/stat")
  cpu=$(awk -v a="$cpu" -v b="$c" 'BEGIN { printf "%.2f", a + b }')
done
local pgcpu xact wal secs_out out_rate2 done2
pgcpu=$(awk -v a="$pgcpu0" -v b="$(pg_cpu)" 'BEGIN { printf "%.2f", b - a }')
xact=$(( $(pg_commits) - xact0 )); wal=$(( $(pg_wal_syncs) - wal0 ))
done2=$("$bin" -config "${homes[0]}/tolvane.ini" -records "$(date +%Y%m%d)" rec 2>/dev/null |
        grep -c '^SUCCESS' || true)
for i in 0 1; do touch "${homes[$i]}/tolvane.exit"; done
for i in 0 1; do
  for _ in $(seq 1 400); do kill -0 "${gp[$i]}" 2>/dev/null || break; sleep 0.05; done
done
secs_out=$(secs "$t_start" "$t_out")
# Every SUCCESS of the day in the database, the single gateway's run included.
done2=$(( done2 - ${pg_done:-0} ))
out_rate2=$(rate "$done2" "$secs_out")
echo "two gateways, one database: $done2 SMS out in ${secs_out}s = $out_rate2 SMS/s together" \
     "($(awk -v a="$out_rate2" -v b="${pg_rate:-0}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')x one gateway);" \
     "gateways' CPU ${cpu}s ($(per "$(awk -v c="$cpu" 'BEGIN{print c*1000}')" "$mails") s per 1,000 mails);" \
     "PostgreSQL CPU ${pgcpu}s ($(per "$(awk -v c="$pgcpu" 'BEGIN{print c*1000}')" "$mails") s per 1,000 mails);" \
     "xact_commit $(per "$xact" "$mails") and WAL flushes $(per "$wal" "$mails") per mail"
}

stores=${STORES:-files postgresql pg2}
case " $stores " in
  *" postgresql "*|*" pg2 "*)
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
    pgopts="-p $pgport -k $pgdir -c listen_addresses=127.0.0.1"
    [ "${PG_STATEMENTS:-0}" = 1 ] && pgopts+=" -c shared_preload_libraries=pg_stat_statements"
    $pgrun "$pgbin/pg_ctl" start -w -D "$pgdata" -l "$pgdir/server.log" -o "$pgopts" >/dev/null
    pgdsn="host=127.0.0.1 port=$pgport user=postgres dbname=postgres"
    pg_sql() { psql -X -A -t -h 127.0.0.1 -p "$pgport" -U postgres -d postgres -c "$1"; }
    pg_commits() { pg_sql "SELECT xact_commit FROM pg_stat_database WHERE datname = 'postgres'"; }
    [ "${PG_STATEMENTS:-0}" = 1 ] && pg_sql "CREATE EXTENSION pg_stat_statements" >/dev/null
    ;;
esac
for st in $stores; do
  if [ "$st" = pg2 ]; then run_pair; else run_gateway "$st"; fi
done
