#!/usr/bin/env bash
# Runs inkmask-slurm on a real Slurm scheduler: a one-node cluster made for
# the test in a temporary folder (munged, slurmctld and slurmd started here as
# root, stopped by their ids at the end, also on failure). 40 generated scans
# in 4 tasks must give, bit for bit, what one inkmask-batch process gives;
# then a job with one task cancelled mid-way, resumed, must run only the
# files that were missing and end complete and equal; so must a job in a
# folder named "Scans [2019] 100%" whose task is killed as the OOM killer
# does, its totals naming what did not run. Failed submissions and a task
# that cannot start must say so.
#
#   sudo ./scripts/test-cluster.sh        (installs Slurm and MUNGE if missing)
#
# Needs no systemd: the daemons are started directly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
    exec sudo "$0" "$@"
fi
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

inkmask_ensure_packages "${INKMASK_PACKAGES[@]}" slurmctld slurmd slurm-client munge
build=${INKMASK_BUILD_DIR:-$root/build}
inkmask_build "$build" --target inkmask-batch --target inkmask-samplegen >/dev/null
batch=$build/batch/inkmask-batch
export INKMASK_BATCH=$batch  # for inkmask-slurm, which is not installed beside it here
samplegen=$build/tools/samplegen/inkmask-samplegen

tmp=$(mktemp -d /tmp/inkmask-cluster.XXXXXX)
chmod 755 "$tmp"
daemons=()
stop_daemons() {
    local pid
    for pid in "${daemons[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${daemons[@]}"; do
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
    done
}
finish() {
    local status=$?
    stop_daemons
    if [ $status -ne 0 ]; then
        echo "test-cluster: FAILED; the daemons' logs:" >&2
        tail -n 20 "$tmp"/*.log >&2 2>/dev/null || true
    fi
    rm -rf "$tmp"
    exit $status
}
trap finish EXIT
trap 'exit 130' INT TERM
step() { echo "test-cluster: $*"; }
die() {
    echo "test-cluster: $*" >&2
    exit 1
}

# MUNGE, with its own key (in a private folder) and socket.
mkdir -p "$tmp/munge" "$tmp/key"
chmod 755 "$tmp/munge"
chmod 700 "$tmp/key"
dd if=/dev/urandom of="$tmp/key/munge.key" bs=1024 count=1 status=none
chmod 400 "$tmp/key/munge.key"
socket=$tmp/munge/munge.socket
munged --foreground --force --key-file="$tmp/key/munge.key" --socket="$socket" \
    --pid-file="$tmp/key/munged.pid" --seed-file="$tmp/key/munged.seed" \
    --log-file="$tmp/munged.log" >>"$tmp/munged.log" 2>&1 &
daemons+=($!)

# A one-node cluster: this machine, its CPUs, ports no other Slurm uses.
host=$(hostname -s)
cpus=$(nproc)
port=$((20000 + RANDOM % 20000))
mkdir -p "$tmp/state" "$tmp/spool"
export SLURM_CONF=$tmp/slurm.conf
cat >"$SLURM_CONF" <<EOF
ClusterName=inkmasktest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
AuthInfo=socket=$socket
CredType=cred/munge
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
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
KillWait=10
SlurmdParameters=config_overrides
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
for _ in $(seq 50); do
    [ -S "$socket" ] && break
    sleep 0.1
done
slurmctld -D -i -f "$SLURM_CONF" >>"$tmp/slurmctld.log" 2>&1 &
daemons+=($!)
slurmd -D -f "$SLURM_CONF" -N "$host" >>"$tmp/slurmd.log" 2>&1 &
daemons+=($!)
step "waiting for the node ($host, $cpus CPUs, port $port)"
for _ in $(seq 120); do
    state=$(sinfo -h -n "$host" -o %T 2>/dev/null || true)
    [ "$state" = idle ] && break
    sleep 0.5
done
[ "$state" = idle ] || die "the node did not come up (state \"$state\")"

# 40 scans, and what one process makes of them.
step "generating 40 scans"
mkdir -p "$tmp/scans"
for i in $(seq -w 1 40); do
    "$samplegen" --size 1600x1200 --seed "$i" "$tmp/scans/sheet-$i.png"
done
list=$tmp/scans.txt
ls "$tmp"/scans/*.png >"$list"
options() { echo --files-from "$list" --output-dir "$tmp/$1/pictures" --mask-dir "$tmp/$1/masks"; }

# Every output of run $1 equals the single process's, and none is missing.
same_as_single() {
    local kind file files
    for kind in pictures masks; do
        files=("$tmp/single/$kind"/*)
        [ ${#files[@]} -eq 40 ] || die "single run incomplete"
        for file in "${files[@]}"; do
            cmp -s "$file" "$tmp/$1/$kind/${file##*/}" ||
                die "$1/$kind/${file##*/} differs from the single process's (or is missing)"
        done
        files=("$tmp/$1/$kind"/*)
        [ ${#files[@]} -eq 40 ] || die "$1/$kind: not 40 files"
    done
}
# The number of "done" lines per input in the reports of job $1, as
# "count input" lines.
done_lines() {
    cat "$tmp/$1"/report-*.jsonl | grep '"status":"done"' |
        sed 's/.*"input":"\([^"]*\)".*/\1/' | sort | uniq -c
}

step "one process, -j 1"
start=$(date +%s%N)
# shellcheck disable=SC2046
"$batch" --quiet -j 1 $(options single)
single_ms=$((($(date +%s%N) - start) / 1000000))
step "one process, -j $cpus"
start=$(date +%s%N)
# shellcheck disable=SC2046
"$batch" --quiet -j "$cpus" $(options parallel)
parallel_ms=$((($(date +%s%N) - start) / 1000000))

step "inkmask-slurm, 4 tasks"
start=$(date +%s%N)
# shellcheck disable=SC2046
"$root/scripts/inkmask-slurm" --tasks 4 --dir "$tmp/job1" -- $(options job1)
cluster_ms=$((($(date +%s%N) - start) / 1000000))
same_as_single job1
[ "$(done_lines job1 | awk '$1 == 1' | wc -l)" -eq 40 ] || die "job1: not every input done once"

step "a job with task 1 cancelled mid-way"
# shellcheck disable=SC2046
job=$("$root/scripts/inkmask-slurm" --tasks 4 --dir "$tmp/job2" --no-wait -- $(options job2))
for _ in $(seq 600); do
    grep -q '"status":"done"' "$tmp/job2/report-1.jsonl" 2>/dev/null && break
    sleep 0.1
done
grep -q '"status":"done"' "$tmp/job2/report-1.jsonl" || die "task 1 did not start"
scancel "${job}_1"
for _ in $(seq 600); do
    [ -z "$(squeue -h -j "$job" 2>/dev/null)" ] && break
    sleep 0.2
done
[ -z "$(squeue -h -j "$job")" ] || die "job $job did not end"
before=$(done_lines job2 | wc -l)
[ "$before" -lt 40 ] || die "the cancelled task had finished: nothing left to resume"
# The cancel stops the file in hand, reported as interrupted; when it comes
# between two files there is none, but the task's shard (10 of the 40) must
# still be unfinished.
if ! grep -q '"status":"interrupted"' "$tmp/job2/report-1.jsonl"; then
    [ "$(grep -c '"status":"done"' "$tmp/job2/report-1.jsonl")" -lt 10 ] ||
        die "the cancelled task had done its whole shard"
fi
step "$before of 40 done before the resume"
"$root/scripts/inkmask-slurm" --resume --dir "$tmp/job2"
same_as_single job2
# Each input done exactly once over both submissions: the resume ran only
# the missing files.
[ "$(done_lines job2 | awk '$1 == 1' | wc -l)" -eq 40 ] ||
    die "job2: an input was done twice, or never: $(done_lines job2 | awk '$1 != 1')"

step "a job in \"Scans [2019] 100%\", the options ending with --, task 1 killed"
odd="$tmp/Scans [2019] 100%"
cp -- "$tmp/scans/sheet-01.png" "$tmp/-dash.png"
slurm() { (cd "$tmp" && "$root/scripts/inkmask-slurm" "$@"); }
job=$(slurm --tasks 2 --dir "$odd" --no-wait -- --quiet -j 1 --files-from "$list" \
    --mask-dir "$tmp/job3/masks" -- -dash.png)
for _ in $(seq 1200); do
    grep -q '"status":"done"' "$odd/report-1.jsonl" 2>/dev/null && break
    sleep 0.05
done
grep -q '"status":"done"' "$odd/report-1.jsonl" || die "task 1 did not start"
pid=""
for candidate in $(pgrep -x inkmask-batch); do
    tr '\0' '\n' <"/proc/$candidate/cmdline" 2>/dev/null |
        grep -qxF -- "$odd/report-1.jsonl" && pid=$candidate
done
[ -n "$pid" ] || die "task 1 had ended before it could be killed"
kill -KILL "$pid"
for _ in $(seq 600); do
    [ -z "$(squeue -h -j "$job" 2>/dev/null)" ] && break
    sleep 0.2
done
[ -z "$(squeue -h -j "$job")" ] || die "job $job did not end"
[ -f "$odd/log-1.txt" ] || die "no log in $odd"
finished=$(cat "$odd"/report-*.jsonl | grep -c '"status":"done"')
[ "$finished" -lt 41 ] || die "the killed task had done its whole shard"
status=0
totals=$(slurm --totals --dir "$odd") || status=$?
[ "$status" -eq 1 ] || die "totals of the killed job: status $status, not 1: $totals"
grep -qxF "$finished files done, 0 failed, $((41 - finished)) not run (of 41 listed)" \
    <<<"${totals%%;*}" || die "totals of the killed job: $totals"
missing=$((41 - finished > 20 ? 20 : 41 - finished))
[ "$(grep -c '^not run: .*sheet-[0-9]*\.png$' <<<"$totals")" -eq "$missing" ] ||
    die "the killed job's totals do not name what did not run: $totals"
grep -q '^task 1 ended' <<<"$totals" || die "the killed task is not named: $totals"
status=0
slurm --tasks 3 --dir "$odd" -- --files-from "$list" --mask-dir "$tmp/job3/other" \
    2>/dev/null || status=$?
{ [ "$status" -eq 2 ] && [ "$(cat "$odd/tasks")" = 2 ]; } ||
    die "a new submission was let into a job's folder (status $status)"
step "$finished of 41 done before the resume"
slurm --resume --dir "$odd"
[ "$(done_lines "Scans [2019] 100%" | awk '$1 == 1' | wc -l)" -eq 41 ] ||
    die "the odd job: an input done twice, or never: $(done_lines "Scans [2019] 100%" | awk '$1 != 1')"
for file in "$tmp"/single/masks/*; do
    cmp -s "$file" "$tmp/job3/masks/${file##*/}" || die "job3/masks/${file##*/} differs"
done
[ -f "$tmp/job3/masks/-dash.png" ] || die "the input after -- was not done"

step "failed submissions; a task that cannot start"
status=0
slurm --tasks 1 --dir -job --partition nosuch -- --files-from "$list" \
    --mask-dir "$tmp/job4" 2>"$tmp/error" || status=$?
{ [ "$status" -eq 2 ] && [ -d "$tmp/-job" ] && grep -q '^sbatch: error' "$tmp/error"; } ||
    die "a submission to no partition: status $status, $(cat "$tmp/error")"
status=0
slurm --tasks 1 --dir "$tmp/job5" --time=banana -- --files-from "$list" \
    --mask-dir "$tmp/job5" 2>"$tmp/error" || status=$?
{ [ "$status" -eq 2 ] && grep -q '^sbatch: error' "$tmp/error"; } ||
    die "a submission with a bad time: status $status, $(cat "$tmp/error")"
status=0
totals=$(slurm --tasks 1 --dir "$tmp/job6" --output=/nonexistent/log -- \
    --files-from "$list" --mask-dir "$tmp/job6/masks") || status=$?
{ [ "$status" -eq 1 ] && grep -q '^task 0 did not start' <<<"$totals"; } ||
    die "a task that could not start: status $status, $totals"

step "passed. 40 files: one process, -j 1: $single_ms ms; -j $cpus: $parallel_ms ms;"
step "4 Slurm tasks on $cpus CPUs: $cluster_ms ms from submission to totals"
