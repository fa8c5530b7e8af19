#!/usr/bin/env bash
# One pod's share of inkmask-batch over one list of scans, for a Kubernetes
# Job in Indexed completion mode (completionMode: Indexed, completions: N,
# parallelism as many pods at once as the cluster should run). Kubernetes
# gives each pod its index in JOB_COMPLETION_INDEX; set N to the number of
# completions in the container's environment, and mount at /archive a
# ReadWriteMany volume holding the list (sheets.txt), the scans, and room for
# the outputs and the reports. The container runs this script, from an image
# with inkmask installed; restartPolicy: Never and a generous backoffLimit let
# failed pods be retried.
#
# Pod K of N runs `inkmask-batch --shard K/N` (positions K, K+N, K+2N... of
# the list), so the N pods do every scan exactly once. Each pod appends to its
# own report on the shared volume, and skips what any report there says is
# done: a pod retried after a failure, or the Job created again under a new
# name, does only what is missing.
#
# An example on paper: not tested here. Adjust the paths, N and -j (the CPUs
# each pod asks for).
set -euo pipefail
: "${JOB_COMPLETION_INDEX:?this runs as a pod of an Indexed Job}"
: "${N:?set N to the number of completions of the Job}"
skip=()
mkdir -p /archive/job
for report in /archive/job/report-*.jsonl; do
    if [ -e "$report" ]; then skip+=(--skip-done "$report"); fi
done
exec inkmask-batch -j 4 --quiet \
    --shard "$JOB_COMPLETION_INDEX/$N" \
    --report "/archive/job/report-$JOB_COMPLETION_INDEX.jsonl" \
    "${skip[@]}" \
    --files-from /archive/sheets.txt \
    --output-dir /archive/cleaned --mask-dir /archive/masks
