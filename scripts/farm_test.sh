#!/usr/bin/env bash
# Runs scripts/farm_submit.sh on a one-node Slurm started on this machine (munge, slurmctld and
# slurmd on the loopback address, as root, everything under one temporary folder): a generated
# shot with a few strokes goes through a 4-task array, and the merged output must equal a single
# kavrin-batch run byte for byte. Everything started is stopped and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "farm test: run as root (the daemons run as root)" >&2; exit 2; }
start=$SECONDS
bash scripts/setup.sh --farm
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target kavrin-batch _kavrin >/dev/null

tmp=$(mktemp -d /tmp/kavrin-farm.XXXXXX)
pids=()
stop() {
    status=$?
    trap - EXIT INT TERM
    if [ -n "${SLURM_CONF:-}" ] && [ ${#pids[@]} -gt 1 ]; then
        scancel --user=root 2>/dev/null || true
    fi
    # The newest daemon first: slurmd, slurmctld, then munged they both talk to.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "${pids[i]}" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    if [ $status -ne 0 ]; then
        for f in "$tmp"/*.log "$tmp"/logs/*.log; do
            [ -f "$f" ] && { echo "--- $f"; tail -n 20 "$f"; }
        done >&2
        echo "farm test: FAILED after $((SECONDS - start)) s" >&2
    fi
    rm -rf "$tmp"
    exit $status
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Two free ports, so that the test never meets another Slurm on this machine.
read -r -a ports < <(/usr/bin/python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
mkdir -p "$tmp"/munge "$tmp"/state "$tmp"/spool "$tmp"/logs
dd if=/dev/urandom of="$tmp/munge/munge.key" bs=1024 count=1 status=none
chmod 755 "$tmp/munge"
chmod 400 "$tmp/munge/munge.key"
munged --foreground --force --key-file="$tmp/munge/munge.key" --socket="$tmp/munge/socket" \
    --pid-file="$tmp/munge/munged.pid" --seed-file="$tmp/munge/seed" \
    2>"$tmp/munged.log" &
pids+=($!)

node=kavrin-node
export SLURM_CONF=$tmp/slurm.conf
cat >"$SLURM_CONF" <<EOF
ClusterName=kavrin-test
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmctldPort=${ports[0]}
SlurmdPort=${ports[1]}
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$tmp/munge/socket
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdLogFile=$tmp/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
MpiDefault=none
ReturnToService=2
MailProg=/bin/true
$(slurmd -C | head -n 1 | sed "s/^NodeName=[^ ]*/NodeName=$node NodeAddr=127.0.0.1/")
PartitionName=farm Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
for _ in $(seq 50); do [ -S "$tmp/munge/socket" ] && break; sleep 0.1; done
slurmctld -D -i >/dev/null 2>&1 &
pids+=($!)
slurmd -D -N "$node" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 60); do
    [ "$(sinfo -h -n "$node" -o %t 2>/dev/null)" = idle ] && break
    sleep 0.5
done
[ "$(sinfo -h -n "$node" -o %t)" = idle ] || { echo "farm test: the node did not come up" >&2; exit 1; }

# A generated shot, painted with strokes that reach across the tasks' ranges.
PYTHONPATH=build /usr/bin/python3 - "$tmp" <<'EOF'
import sys, kavrin
tmp = sys.argv[1]
kavrin.Scene.fountain("10000").save(tmp + "/fountain")
with kavrin.Scene(tmp + "/fountain") as scene:
    for frame, kind, reach in ((24, "grab", 6), (50, "scale", 3), (80, "grab", 12)):
        x, y, z = scene.positions(frame)[0]
        done = scene.stroke(frame=frame, type=kind, time=reach,
                            steps=[{"pick": [x + 0.01 * i, y, z], "vector": [0, 1, 0]}
                                   for i in range(8)])
        assert done["drew"] and len(done["particles"]) > 1, (frame, done)
    scene.save(tmp + "/edit")
EOF
batch=build/bin/kavrin-batch
$batch --threads 1 "$tmp/fountain" "$tmp/edit/edit.strokes.json" "$tmp/whole/out" 2>"$tmp/whole.log"

# Submits a 4-task farm job of the shot with log $1 into $2, waits for it and prints how the
# check job ended ("COMPLETED 0:0", "CANCELLED 0:0", ...).
farm() {
    local submitted array check
    submitted=$(bash scripts/farm_submit.sh --tasks 4 --threads 1 --batch "$batch" \
        --logs "$tmp/logs" "$tmp/fountain" "$1" "$2")
    array=$(awk '$1 == "array" {print $2}' <<<"$submitted")
    check=$(awk '$1 == "check" {print $2}' <<<"$submitted")
    [ "$(awk '$1 == "array" {print $3}' <<<"$submitted")" = 4 ] || { echo "$submitted" >&2; exit 1; }
    for _ in $(seq 600); do
        [ -z "$(squeue -h -j "$array,$check" 2>/dev/null)" ] && break
        sleep 1
    done
    scontrol -o show job "$check" | sed -n 's/.*JobState=\([A-Z]*\) .*ExitCode=\([0-9:]*\).*/\1 \2/p'
}

farm_start=$SECONDS
state=$(farm "$tmp/edit/edit.strokes.json" "$tmp/farm/out")
farm_time=$((SECONDS - farm_start))
[ "$state" = "COMPLETED 0:0" ] || { echo "farm test: the check job ended as: $state" >&2; exit 1; }
cat "$tmp"/logs/*check*.log
diff -r "$tmp/whole/out" "$tmp/farm/out" >&2 ||
    { echo "farm test: the farm's output differs from a single run" >&2; exit 1; }
files=$(find "$tmp/farm/out" -type f | wc -l)

# Ranges that fail (a cut log) must leave the check cancelled, not pending for ever.
head -c 200 "$tmp/edit/edit.strokes.json" >"$tmp/cut.strokes.json"
state=$(farm "$tmp/cut.strokes.json" "$tmp/cut/out")
[ "$state" = "CANCELLED 0:0" ] ||
    { echo "farm test: after failed ranges the check job ended as: $state" >&2; exit 1; }

echo "farm test: passed: 4 tasks wrote $files files identical to a single run in $farm_time s;" \
    "failed ranges cancel the check; whole test $((SECONDS - start)) s"
