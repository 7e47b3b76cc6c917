#!/usr/bin/env bash
# Runs the README's Slurm array script ("Collections on a cluster") on a one-node Slurm cluster
# started on this machine: installs slurm-wlm and munge where missing, builds brevane, starts
# munged, slurmctld and slurmd with a configuration of their own in a temporary folder,
# splits twelve generated recordings, cancels the task of the longest while it writes its
# pieces, submits the array again and checks that every recording was split exactly once, that
# the joined manifest lists every piece once, and that the retry redid only the cut-short
# recording. The daemons are stopped and the folder removed when the script ends, however it
# ends. Needs root (it starts the daemons); takes a few minutes.
#
# Usage: scripts/cluster-demo.sh
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/cluster-demo.sh starts munged, slurmctld and slurmd: run it as root" >&2
    exit 1
fi

build_dir="$BREVANE_ROOT/build-cluster-demo"
program="$build_dir/src/frontend/brevane"
per_task=3
options="--max 20s --tolerance 5s"
work=
daemons=()

say() { echo "== $*"; }
check() { echo "ok: $*"; }
die() {
    echo "FAILED: $*" >&2
    exit 1
}

# Polls for up to $1 seconds until the command after it succeeds.
wait_until() {
    local end=$((SECONDS + $1))
    shift
    until "$@" 2>/dev/null; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.2
    done
}

# The processes of the cluster's jobs: the job steps work where slurmd was started, the batch
# scripts and what they run in the data folder.
job_processes() {
    local link pid
    for link in $(find /proc -mindepth 2 -maxdepth 2 -name cwd \( -lname "$work/data*" \
        -o -lname "$work/slurm/spool*" \) 2>/dev/null); do
        pid=${link#/proc/}
        pid=${pid%/cwd}
        if [[ " ${daemons[*]} $$ " != *" $pid "* ]]; then
            echo "$pid"
        fi
    done
}
no_job_processes() { [ -z "$(job_processes)" ]; }

# Cancels the jobs, lets Slurm end their steps while its daemons still run, then stops the
# daemons and removes the folder.
cleanup() {
    local status=$? pid
    trap - EXIT INT TERM HUP
    if [ -n "$work" ]; then
        cd /
        if [ -f "$work/slurm/slurm.conf" ]; then
            scancel --user=root 2>/dev/null || true
            wait_until 60 no_job_processes || true
            for pid in $(job_processes); do
                kill -KILL "$pid" 2>/dev/null || true
            done
        fi
        for pid in "${daemons[@]}"; do
            kill "$pid" 2>/dev/null || true
        done
        for pid in "${daemons[@]}"; do
            wait "$pid" 2>/dev/null || true
        done
        rm -rf "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

install_missing_packages "${BREVANE_PACKAGES[@]}" slurm-wlm munge

build_release_program "$build_dir"

work=$(mktemp -d /tmp/brevane-cluster.XXXXXX)
chmod 755 "$work"
mkdir -p "$work/munge" "$work/slurm/state" "$work/slurm/spool" "$work/data/logs" \
    "$work/data/manifests" "$work/data/recordings"

# The daemons run in sessions of their own, so that a Ctrl-C or a signal to this script's group
# reaches the script alone, which then stops the jobs before the daemons.
say "Starting munged, slurmctld and slurmd ($work)"
cd "$work"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chown -R munge:munge "$work/munge"
chmod 755 "$work/munge"
chmod 400 "$work/munge/munge.key"
setsid setpriv --reuid=munge --regid=munge --init-groups munged --foreground \
    --key-file="$work/munge/munge.key" --socket="$work/munge/munge.socket" \
    --pid-file="$work/munge/munged.pid" --seed-file="$work/munge/munged.seed" \
    --log-file="$work/munge/munged.log" >>"$work/munge/munged.out" 2>&1 &
daemons+=($!)
wait_until 20 test -S "$work/munge/munge.socket" || die "munged did not start: $(cat "$work/munge/munged.out")"

node=$(hostname -s)
export SLURM_CONF="$work/slurm/slurm.conf"
cat >"$SLURM_CONF" <<EOF
ClusterName=brevane-demo
SlurmctldHost=$node(127.0.0.1)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/munge.socket
CredType=cred/munge
StateSaveLocation=$work/slurm/state
SlurmdSpoolDir=$work/slurm/spool
SlurmctldPidFile=$work/slurm/slurmctld.pid
SlurmdPidFile=$work/slurm/slurmd.pid
SlurmctldLogFile=$work/slurm/slurmctld.log
SlurmdLogFile=$work/slurm/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MpiDefault=none
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=demo Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
setsid slurmctld -D -i >>"$work/slurm/slurmctld.out" 2>&1 &
daemons+=($!)
(cd "$work/slurm/spool" && exec setsid slurmd -D -N "$node" >>"$work/slurm/slurmd.out" 2>&1) &
daemons+=($!)
node_idle() { sinfo -h -N -o %T | grep -qx idle; }
wait_until 60 node_idle || die "the node did not come up: $(tail -n 5 "$work/slurm/slurmctld.log" "$work/slurm/slurmd.log")"
check "one-node cluster up: $(sinfo -h -N -o '%N %T %c CPUs')"

# Twelve recordings of a tone with a pause of 1.2 s every 7 s; the sixth, the last of the
# second task, lasts 20 minutes, so that its task can be caught while it writes its pieces.
say "Generating 12 recordings"
cd "$work/data"
durations=(12 25 40 18 33 1200 60 10 45 22 37 50)
for i in "${!durations[@]}"; do
    name=$(printf 'recordings/talk%02d.wav' $((i + 1)))
    ffmpeg -hide_banner -loglevel error -y -f lavfi \
        -i "sine=frequency=$((220 + 30 * i)):sample_rate=16000:duration=${durations[i]}" \
        -af "volume=0:enable='lt(mod(t,7),1.2)'" -ac 1 "$name"
    echo "$work/data/$name" >>files.txt
done
long=$(sed -n 6p files.txt)
long_parts=${long%.wav}_parts
tasks=$(((${#durations[@]} + per_task - 1) / per_task))

# The array script exactly as the README shows it.
awk '/^```sh$/ { block = ""; inside = 1; next }
     /^```$/ { if (inside && block ~ /#SBATCH --array/) { printf "%s", block; exit } inside = 0; next }
     inside { block = block $0 "\n" }' "$BREVANE_ROOT/README.md" >split-array.sbatch
grep -q '^#SBATCH --array' split-array.sbatch || die "no array script found in README.md"
export FILES=files.txt PER_TASK=$per_task BREVANE="$program" BREVANE_OPTIONS="$options"

job_over() { [ -z "$(squeue -h -j "$1" -o %i 2>/dev/null)" ]; }
cutting_long() { [ -f "$long_parts/part_004.wav" ] && [ ! -f "$long_parts/.brevane-record.json" ]; }

say "Submitting the array: $tasks tasks of $per_task recordings ($options)"
first=$(sbatch --parsable --array=0-$((tasks - 1)) split-array.sbatch)
wait_until 300 cutting_long || die "task 1 never began to write the pieces of $long"
scancel "${first}_1"
check "cancelled task ${first}_1 while it wrote $(ls "$long_parts" | grep -c '^part_') pieces of $(basename "$long")"
wait_until 300 job_over "$first" || die "job $first did not end"
[ ! -f "$long_parts/.brevane-record.json" ] || die "the cut-short recording has a record"
grep -q "^Interrupted by SIGTERM: " "logs/split-${first}_1.log" \
    || die "task 1's log does not show the stop: $(cat "logs/split-${first}_1.log")"
check "brevane stopped cleanly, no record left: $(grep '^Interrupted' "logs/split-${first}_1.log" | sed "s|$work/data/||g")"

resubmitted=$(date +%s.%N)
sleep 0.01
say "Submitting the array again, then the join"
second=$(sbatch --parsable --array=0-$((tasks - 1)) split-array.sbatch)
join=$(sbatch --parsable --dependency=afterok:"$second" --kill-on-invalid-dep=yes \
    --output=logs/join.log --wrap 'cat manifests/task-*.jsonl > manifest.jsonl')
wait_until 600 job_over "$join" || die "the join did not end"
[ -s manifest.jsonl ] || die "no joined manifest: $(cat logs/split-"$second"_*.log)"

say "Checking"
# Every recording once: a record, the recorded pieces and no other piece or scratch file in
# its folder, and pieces from its start to its end.
pieces=0
while IFS= read -r input; do
    parts=${input%.wav}_parts
    [ -f "$parts/.brevane-record.json" ] || die "no record in $parts"
    recorded=$(python3 -c 'import json,sys; print("\n".join(p["name"] for p in json.load(open(sys.argv[1]))["pieces"]))' \
        "$parts/.brevane-record.json" | sort)
    on_disk=$(ls -A "$parts" | grep -v '^\.brevane-record\.json$' | sort)
    [ "$recorded" = "$on_disk" ] || die "$parts holds other files than its record names: $on_disk"
    frames=$(ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 "$input")
    last_end=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["pieces"][-1]["endFrame"])' \
        "$parts/.brevane-record.json")
    [ "$frames" = "$last_end" ] || die "the pieces of $input end at frame $last_end of $frames"
    pieces=$((pieces + $(echo "$recorded" | wc -l)))
done <files.txt
check "every recording split once: 12 records, $pieces pieces, no other file in the folders, each set ending at its recording's last frame"

# The joined manifest: every piece on disk, once, with the record's frames.
python3 - "$work/data" <<'EOF' || die "the joined manifest does not list every piece once"
import json, os, sys
root = sys.argv[1]
lines = [json.loads(line) for line in open(os.path.join(root, "manifest.jsonl"))]
listed = [line["audio_filepath"] for line in lines]
on_disk = []
for input in open(os.path.join(root, "files.txt")).read().split():
    parts = input[:-len(".wav")] + "_parts"
    record = json.load(open(os.path.join(parts, ".brevane-record.json")))
    for piece in record["pieces"]:
        on_disk.append(os.path.join(parts, piece["name"]))
        line = lines[listed.index(on_disk[-1])] if on_disk[-1] in listed else None
        assert line and line["source"] == input and line["offset"] == 0, on_disk[-1]
        assert line["source_offset"] == piece["startFrame"] / record["sampleRate"], on_disk[-1]
assert len(listed) == len(set(listed)), "a piece listed twice"
assert sorted(listed) == sorted(on_disk), "pieces missing or not on disk"
print("ok: the joined manifest lists each of the %d pieces once, at its record's offset" % len(listed))
EOF

# The retry: the cut-short recording split anew, and only it; everything else skipped.
skipped=$(cat logs/split-"$second"_*.log | grep -c '^Already split: ' || true)
[ "$skipped" -eq 11 ] || die "the second array skipped $skipped recordings, not 11"
grep -q "^Already split: $long " logs/split-"$second"_*.log && die "the second array skipped $long"
[ "$(grep -c '^Already split: ' "logs/split-${second}_1.log")" -eq $((per_task - 1)) ] \
    || die "the retried task did not skip the inputs it had finished"
newer=$(find "$work/data/recordings" -name .brevane-record.json -newermt "@$resubmitted" | sort)
[ "$newer" = "$long_parts/.brevane-record.json" ] \
    || die "records written by the second array: ${newer:-none}"
old_pieces=$(find "$long_parts" -name 'part_*' ! -newermt "@$resubmitted" | wc -l)
[ "$old_pieces" -eq 0 ] || die "$old_pieces pieces of $long were not written again"
check "the retried task split again only $(basename "$long") (all its pieces and its record new); the other 11 recordings were skipped as already split"
say "All checks passed"
