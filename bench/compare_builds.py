#!/usr/bin/env python3
"""Two builds of the gateway through the same mail-to-SMS benchmarks in one run.

  bench/compare_builds.py BEFORE_BUILD_DIR AFTER_BUILD_DIR [--rounds N] [--mails N]

Each round runs, for each build in turn (the order alternates between rounds):
  - bench/queue_load.sh with the local journal (STORES=files): mails through the gateway
    to an e-mail-to-SMS provider (smtp-sink), a connection per mail;
  - bench/smpp_load.py, one round: mails to an SMS centre, a connection per mail (the
    peer gateway of that script runs too; its rate is printed for scale).
Printed: per round and as the median, SMS/s and the gateway's CPU seconds per 10,000 mails
of each build, and the ratio after/before. Nothing is kept; the scripts stop what they start.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def run(cmd, env=None):
    out = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, check=False)
    if out.returncode != 0:
        sys.stderr.write(out.stdout[-3000:])
        raise SystemExit(f"{' '.join(cmd)} failed ({out.returncode})")
    return out.stdout


def queue_load(build, mails):
    env = dict(os.environ, STORES="files")
    text = run([os.path.join(HERE, "queue_load.sh"), build, str(mails), "20"], env)
    m = re.search(r"store files.*?SMS out in [\d.]+s = (\d+) SMS/s.*?CPU ([\d.]+)s", text)
    if not m:
        raise SystemExit("queue_load.sh printed no result:\n" + text[-2000:])
    return int(m.group(1)), float(m.group(2)) * 10000.0 / mails


def smpp_load(build, mails):
    text = run([sys.executable, os.path.join(HERE, "smpp_load.py"), "--build", build,
                "--mails", str(mails), "--rounds", "1"])
    m = re.search(r"gateway: (\d+) submits/s .*?CPU ([\d.]+)s", text)
    p = re.search(r"kannel:\s+(\d+) submits/s", text)
    if not m:
        raise SystemExit("smpp_load.py printed no result:\n" + text[-2000:])
    return int(m.group(1)), float(m.group(2)) * 10000.0 / mails, int(p.group(1)) if p else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("before")
    ap.add_argument("after")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--mails", type=int, default=10000)
    a = ap.parse_args()
    builds = {"before": os.path.abspath(a.before), "after": os.path.abspath(a.after)}
    res = {k: {"queue": [], "queue_cpu": [], "smpp": [], "smpp_cpu": []} for k in builds}
    for r in range(a.rounds):
        order = ["before", "after"] if r % 2 == 0 else ["after", "before"]
        for name in order:
            q, qc = queue_load(builds[name], a.mails)
            s, sc, peer = smpp_load(builds[name], a.mails)
            for key, v in (("queue", q), ("queue_cpu", qc), ("smpp", s), ("smpp_cpu", sc)):
                res[name][key].append(v)
            print(f"round {r + 1} {name:6}: provider {q} SMS/s, CPU {qc:.2f}s/10k; "
                  f"SMPP {s} SMS/s, CPU {sc:.2f}s/10k (peer {peer}/s)", flush=True)
    med = {k: {m: statistics.median(v) for m, v in d.items()} for k, d in res.items()}
    for key, label in (("queue", "provider SMS/s"), ("queue_cpu", "provider CPU s/10k"),
                       ("smpp", "SMPP SMS/s"), ("smpp_cpu", "SMPP CPU s/10k")):
        b, f = med["before"][key], med["after"][key]
        print(f"median {label:18}: before {b:.2f}, after {f:.2f}, after/before "
              f"{(f / b if b else 0):.2f}x")


if __name__ == "__main__":
    main()
