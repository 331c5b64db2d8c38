# A one-node Slurm cluster of this user's own, for the Slurm test and the batch benchmark: munged,
# slurmctld and slurmd as the user who runs this, listening on 127.0.0.1 only, on ports found free,
# with their configuration, key, spool, logs and sockets in a folder the caller owns. munged wants
# every folder above its socket searchable by all. Source it from bash:
#   local_slurm_start FOLDER   # exports SLURM_CONF; returns once the node is idle, or fails
#   sbatch ...                 # sbatch, sinfo, squeue and scancel find the cluster by SLURM_CONF
#   local_slurm_stop           # cancels every job, waits for an empty queue, stops the daemons
# local_slurm_stop may be called any number of times, also when local_slurm_start failed half way:
# call it from an EXIT trap. The cluster keeps no accounting, so sacct knows nothing of it: each job
# that ends gets a line in FOLDER/jobcomp.txt instead, with its JobState, ExitCode, ArrayJobId and
# ArrayTaskId. Neither function relies on the caller's set -e, or ends the caller.

local_slurm_daemons=()
local_slurm_ports=()

local_slurm_fail() {
    echo "local Slurm: $*" >&2
    return 1
}

# A TCP port in 20000-32767, below the kernel's range for outgoing connections, that no socket
# holds (one in TIME-WAIT doesn't keep the daemons from binding). The daemons fork or go on even when they can't bind, so a taken port must be
# found out before they start.
local_slurm_port_holders() {
    ss -Htan exclude time-wait "( sport = :$1 )"
}

local_slurm_free_port() {
    local port tries
    for ((tries = 0; tries < 100; ++tries)); do
        port=$((20000 + RANDOM % 12768))
        if [[ " ${local_slurm_ports[*]} " != *" $port "* && -z $(local_slurm_port_holders "$port") ]]; then
            local_slurm_ports+=("$port")
            return 0
        fi
    done
    local_slurm_fail "no free TCP port found in 20000-32767"
}

local_slurm_start() {
    local folder user missing=() tool
    for tool in munged mungekey slurmctld slurmd sbatch sinfo squeue scancel ss; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    if ((${#missing[@]})); then
        local_slurm_fail "${missing[*]} not found: install the Debian packages slurmctld slurmd slurm-client munge (scripts/debian-packages.txt)"
        return 1
    fi
    # Relative, the configuration makes the daemons wait a minute for it.
    folder=$(cd "$1" && pwd) || return 1
    user=$(id -un)
    # munged refuses a socket folder that others may write to or that isn't 755.
    chmod 755 "$folder" && mkdir -m 755 "$folder/munge" || return 1
    mkdir "$folder/slurmctld" "$folder/slurmd" "$folder/logs" || return 1
    mungekey --create --keyfile="$folder/munge/munge.key" || return 1
    local_slurm_free_port && local_slurm_free_port || return 1

    export SLURM_CONF=$folder/slurm.conf
    cat >"$SLURM_CONF" <<EOF
ClusterName=quarnel-test
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmctldPort=${local_slurm_ports[0]}
SlurmdPort=${local_slurm_ports[1]}
CommunicationParameters=NoCtldInAddrAny,NoInAddrAny
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$folder/munge/munge.socket
StateSaveLocation=$folder/slurmctld
SlurmdSpoolDir=$folder/slurmd
SlurmctldPidFile=$folder/slurmctld.pid
SlurmdPidFile=$folder/slurmd.pid
SlurmctldLogFile=$folder/logs/slurmctld.log
SlurmdLogFile=$folder/logs/slurmd.log
# No cgroups: processes are followed through /proc, and tasks are not bound to cores.
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobCompType=jobcomp/filetxt
JobCompLoc=$folder/jobcomp.txt
# Jobs start when submitted. The controller keeps an ended job for a minute: sbatch --wait looks
# only every two seconds, and a task forgotten before it looked would count as exit 0.
SchedulerParameters=batch_sched_delay=0
MinJobAge=60
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MpiDefault=none
MailProg=/bin/true
NodeName=quarnel-node NodeAddr=127.0.0.1 NodeHostname=$(hostname -s) CPUs=$(nproc) State=UNKNOWN
PartitionName=local Nodes=quarnel-node Default=YES MaxTime=INFINITE State=UP
EOF

    munged --foreground --socket="$folder/munge/munge.socket" --key-file="$folder/munge/munge.key" \
           --pid-file="$folder/munge/munged.pid" --seed-file="$folder/munge/munged.seed" \
           --log-file="$folder/logs/munged.log" </dev/null >>"$folder/logs/munged.out" 2>&1 &
    local_slurm_daemons+=("$!")
    slurmctld -D -f "$SLURM_CONF" </dev/null >>"$folder/logs/slurmctld.out" 2>&1 &
    local_slurm_daemons+=("$!")
    slurmd -D -N quarnel-node -f "$SLURM_CONF" </dev/null >>"$folder/logs/slurmd.out" 2>&1 &
    local_slurm_daemons+=("$!")

    local waited state pid
    for ((waited = 0; waited < 600; ++waited)); do
        for pid in "${local_slurm_daemons[@]}"; do
            if ! kill -0 "$pid" 2>/dev/null; then
                tail -n 5 "$folder"/logs/* >&2
                local_slurm_fail "a daemon ended before the node came up: see $folder/logs"
                return 1
            fi
        done
        state=$(sinfo -h -n quarnel-node -o %T 2>/dev/null) || state=unreachable
        [[ $state == idle ]] && return 0
        sleep 0.1
    done
    tail -n 5 "$folder"/logs/* >&2
    local_slurm_fail "the node is still '${state:-unknown}' after 60 s"
}

local_slurm_stop() {
    local daemon waited
    if ((${#local_slurm_daemons[@]} == 3)) && kill -0 "${local_slurm_daemons[1]}" 2>/dev/null; then
        # slurmd leaves running tasks behind when it ends: end them first, through Slurm.
        scancel --quiet --partition=local 2>/dev/null || true
        for ((waited = 0; waited < 300; ++waited)); do
            [[ -z $(squeue -h -o %i 2>/dev/null) ]] && break
            sleep 0.1
        done
    fi
    # slurmd, slurmctld, then munged, which the other two need while they stop.
    for ((daemon = ${#local_slurm_daemons[@]} - 1; daemon >= 0; --daemon)); do
        kill -TERM "${local_slurm_daemons[daemon]}" 2>/dev/null || true
        for ((waited = 0; waited < 100; ++waited)); do
            kill -0 "${local_slurm_daemons[daemon]}" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "${local_slurm_daemons[daemon]}" 2>/dev/null || true
        wait "${local_slurm_daemons[daemon]}" 2>/dev/null || true
    done
    local_slurm_daemons=()
    local port
    for port in "${local_slurm_ports[@]}"; do
        [[ -z $(local_slurm_port_holders "$port") ]] || local_slurm_fail "port $port is still held after the daemons stopped"
    done
    local_slurm_ports=()
}
