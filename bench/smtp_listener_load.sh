#!/bin/sh
# Load on the SMTP listener: smtp-source blasts an accept-everything listener
# (tests/peers/smtp_accept_all) and, in the same run, postfix's smtp-sink; prints
# mails per second of both and their ratio. Then holds IDLE idle client
# connections on the listener and prints the listener's resident memory.
#
#   bench/smtp_listener_load.sh [build-dir]    (SESSIONS, MAILS, SIZE, IDLE in the environment)
set -eu
BUILD=${1:-build}
SESSIONS=${SESSIONS:-20}
MAILS=${MAILS:-20000}
SIZE=${SIZE:-1024}
IDLE=${IDLE:-1000}
LISTENER=$BUILD/tests/smtp_accept_all
for p in /usr/sbin/smtp-sink /usr/sbin/smtp-source "$LISTENER"; do
    [ -x "$p" ] || { echo "missing $p (postfix package, or build target smtp_accept_all)" >&2; exit 2; }
done
ulimit -n 8192 2>/dev/null || true
WORK=$(mktemp -d /tmp/tv_load.XXXXXX)
chmod 777 "$WORK"
PIDS=""
cleanup() { for p in $PIDS; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$WORK"; }
trap cleanup EXIT INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { python3 - "$1" <<'PY'
import socket, sys, time
for _ in range(200):
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), 0.2).close(); sys.exit(0)
    except OSError:
        time.sleep(0.05)
sys.exit(1)
PY
}
now() { date +%s.%N; }
rate() { python3 -c "import sys; print(f'{int(sys.argv[1])/(float(sys.argv[3])-float(sys.argv[2])):.0f}')" "$@"; }
blast() {  # port -> seconds
    t0=$(now)
    /usr/sbin/smtp-source -s "$SESSIONS" -m "$MAILS" -l "$SIZE" -f load@source.example \
        -t 0400111222@sms.example "127.0.0.1:$1"
    t1=$(now)
    echo "$t0 $t1"
}

SINK_PORT=$(free_port)
/usr/sbin/smtp-sink -u nobody -m 512 "127.0.0.1:$SINK_PORT" 512 &
PIDS="$PIDS $!"
wait_port "$SINK_PORT"

"$LISTENER" 0 "$WORK/spool" > "$WORK/listener.out" &
LPID=$!
PIDS="$PIDS $LPID"
for _ in $(seq 100); do grep -q '^port' "$WORK/listener.out" 2>/dev/null && break; sleep 0.05; done
PORT=$(awk '/^port/ {print $2}' "$WORK/listener.out")
wait_port "$PORT"

set -- $(blast "$SINK_PORT"); SINK_RATE=$(rate "$MAILS" "$1" "$2")
set -- $(blast "$PORT"); TV_RATE=$(rate "$MAILS" "$1" "$2")
echo "smtp-sink:    $SINK_RATE mails/s ($SESSIONS sessions, $MAILS mails of $SIZE bytes)"
echo "tolvane SMTP: $TV_RATE mails/s"
python3 -c "import sys; print(f'ratio tolvane/smtp-sink: {int(sys.argv[1])/int(sys.argv[2]):.2f}')" "$TV_RATE" "$SINK_RATE"

# Idle connections: a listener of its own whose clients may stay silent for two minutes.
kill "$LPID"
"$LISTENER" 0 "$WORK/spool2" 120000 > "$WORK/idle.out" &
LPID=$!
PIDS="$PIDS $LPID"
for _ in $(seq 100); do grep -q '^port' "$WORK/idle.out" 2>/dev/null && break; sleep 0.05; done
PORT=$(awk '/^port/ {print $2}' "$WORK/idle.out")
wait_port "$PORT"
rss() { awk '/^VmRSS/ {print $2}' /proc/"$1"/status; }
BEFORE=$(rss "$LPID")
python3 - "$PORT" "$IDLE" "$LPID" <<'PY'
import socket, sys, time
port, n, pid = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
conns = []
t0 = time.time()
for i in range(n):
    s = socket.create_connection(("127.0.0.1", port), 5)
    s.recv(100)          # the greeting: the connection is held by the listener
    conns.append(s)
opened = time.time() - t0
time.sleep(1)
rss = [l for l in open(f"/proc/{pid}/status") if l.startswith("VmRSS")][0].split()[1]
thr = [l for l in open(f"/proc/{pid}/status") if l.startswith("Threads")][0].split()[1]
print(f"idle connections: {n} held (opened in {opened:.1f} s), listener RSS {rss} kB, threads {thr}")
for s in conns:
    s.close()
PY
echo "listener RSS before the idle connections: $BEFORE kB"
