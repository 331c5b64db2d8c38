#!/usr/bin/env bash
# Tests the Octave package on each Octave that Debian ships, bullseye to sid, in Debian chroots
# made with debootstrap, and prints a table: Octave version x check. Run as root from a clone:
#   scripts/octave-matrix.sh [--cache DIR]
# The chroots are kept in DIR (default /var/cache/quarnel-octave-matrix) and reused; every check
# runs in a throw-away layer over them. Exits non-zero when a chroot that exists fails any check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=/var/cache/quarnel-octave-matrix
usage="usage: $0 [--cache DIR]"
while (($# > 0)); do
    case $1 in
        --cache)
            (($# >= 2)) || { echo "$usage" >&2; exit 2; }
            cache=$2
            shift 2
            ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done
[[ $(id -u) -eq 0 ]] || { echo "$0: debootstrap, chroot and mount need root" >&2; exit 2; }

# Debian's releases, oldest first, with the package that holds mkoctfile there.
suites=(bullseye bookworm trixie sid)
declare -A dev_package=([bullseye]=liboctave-dev [bookworm]=liboctave-dev [trixie]=octave-dev [sid]=octave-dev)

# The mirror this host installs its own release from, as apt is set up here.
debian_mirror() {
    local codename file
    codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
    [[ -n $codename ]] || return 1
    for file in /etc/apt/sources.list.d/*.sources; do
        [[ -f $file ]] || continue
        awk -v release="$codename" 'BEGIN { RS = ""; FS = "\n" }
            {
                uri = ""; deb = 0; ours = 0
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^Types:/ && $i ~ /[ \t]deb([ \t]|$)/) deb = 1
                    if ($i ~ /^Suites:/ && (" " substr($i, 8) " ") ~ ("[ \t]" release "[ \t]")) ours = 1
                    if ($i ~ /^URIs:/) { split(substr($i, 6), uris, /[ \t]+/); uri = uris[1] == "" ? uris[2] : uris[1] }
                }
                if (deb && ours && uri != "") { print uri; exit }
            }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f $file ]] || continue
        sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$file" | awk -v release="$codename" '$1 == "deb" && $3 == release { print $2; exit }'
    done
}

# Makes the chroot of suite $1 under a temporary name, in a mount namespace of its own so that
# what debootstrap mounts inside it goes with it, and gives it its name only once it is complete.
make_chroot() {
    local suite=$1 partial
    partial=$(mktemp -d "$cache/.$suite.partial.XXXXXX")
    chmod 755 "$partial"  # the chroot's /, which its users must be able to enter
    if unshare --mount --propagation private --pid --fork --kill-child \
        debootstrap --variant=minbase --include="octave,${dev_package[$suite]},make,g++" \
        "$suite" "$partial" "$mirror" >"$cache/$suite.log" 2>&1 &&
        rm -f "$partial"/var/cache/apt/archives/*.deb &&  # installed already: a fifth of the chroot
        mv -T "$partial" "$cache/$suite"; then
        return 0
    fi
    rm -rf "$partial"
    return 1
}

# The checks, the table's columns, in the order they run.
columns=("pkg user" "pkg root" bits lines reduce_folder quarnel-reduce build_quarnel exports "static command")
# What the README's route to quarnel-reduce runs, given the output folder and the volumes.
readme_route='"$(octave-cli --eval "pkg load quarnel; disp(fileparts(which('"'"'reduce_folder'"'"')))")/quarnel-reduce" "$@"'
# Far more than the few minutes the checks of one release take on a loaded machine.
checks_time_limit=30m
short_line="Couldn't read 268435456 bytes from file!"
# Octave 7.3 says this on its standard error as it ends, whatever it ran.
exit_noise="error: ignoring const execution_exception& while preparing to exit"

in_chroot() {
    chroot "$layer/merged" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

as_user() {
    chroot --userspec=1000:1000 --groups=1000 "$layer/merged" /usr/bin/env -i HOME=/home/matrix USER=matrix LANG=C.UTF-8 \
        PATH=/usr/bin:/bin "$@"
}

# Runs octave-cli as $1 (in_chroot or as_user) with the remaining arguments.
octave() {
    local run_as=$1
    shift
    $run_as octave-cli --norc --no-history --quiet "$@"
}

# The passes and failures that `pkg test quarnel` printed in $1: every test passed, and some ran.
all_tests_passed() {
    awk '/^ *PASS +[0-9]+ *$/ { passed = $2 } /^ *FAIL +[0-9]+ *$/ { failed = $2 }
         END { exit !(passed > 0 && failed == 0) }' "$1"
}

# Installs the package as $1 (as_user or in_chroot) and runs its tests, from that user's home.
install_and_test() {
    local run_as=$1 home=$2 installed_under=$3 out=$layer/${column// /_}.out
    $run_as sh -c "cd $home && octave-cli --norc --no-history --quiet --eval \"pkg install /matrix/$package_name; pkg load quarnel; printf('Quarnel is %s\\n', which('Quarnel')); pkg test quarnel\"" \
        >"$out" 2>&1 || true
    grep -F -x -v -e "$exit_noise" "$out" || true
    grep -q "^Quarnel is $installed_under" "$out" || { echo "the package's module is not under $installed_under"; return 1; }
    all_tests_passed "$out" || { echo "pkg test quarnel did not pass every test"; return 1; }
}

check_pkg_user() {
    in_chroot useradd --create-home --uid 1000 --user-group matrix
    install_and_test as_user /home/matrix /home/matrix/
}

check_pkg_root() {
    install_and_test in_chroot /root /usr/
}

# The same bytes as the host's result; $1 and $2 are the files, in the layer and on the host.
same_result() {
    cmp "$1" "$2" && echo "the result is the host's, bit for bit"
}

same_lines() {
    local difference
    if difference=$(diff -u "$1" "$2"); then
        echo "the lines are the host's"
        return 0
    fi
    head -n 20 <<<"$difference"
    echo "(the first of $(wc -l <<<"$difference") lines of difference)"
    return 1
}

check_bits() {
    octave in_chroot /matrix/calls_transcript.m package /matrix/volumes/whole.raw /matrix/volumes/short.raw \
        /root/package.transcript /root/package.result
    same_result "$layer/merged/root/package.result" "$shared/host.result"
}

check_lines() {
    same_lines "$shared/host.transcript" "$layer/merged/root/package.transcript"
}

# The lines a batch route printed, its exit status, and the .mat it saved for the whole volume.
expect_batch_outcome() {
    local out=$1 expected_lines=$2 status=$3 expected_status=$4 folder=$5
    printf '%s' "$expected_lines" >"$out.expected"
    diff -u "$out.expected" "$out" || return 1
    [[ $status -eq $expected_status ]] || { echo "exit status $status, not $expected_status"; return 1; }
    [[ ! -e $layer/merged$folder/short.mat ]] || { echo "short.raw got a .mat"; return 1; }
    octave in_chroot /matrix/mat_volume.m "$folder/whole.mat" "$folder.result" &&
        same_result "$layer/merged$folder.result" "$shared/host.result"
}

check_reduce_folder() {
    local out=$layer/merged/root/reduce_folder.out status=0
    octave in_chroot --eval "pkg load quarnel; report = reduce_folder('/matrix/volumes', '/root/by_reduce_folder');
        for k = 1:numel(report), if report(k).ok, printf('ok %s\n', report(k).file);
        else, printf('failed %s: %s\n', report(k).file, report(k).message); end, end" >"$out" || status=$?
    expect_batch_outcome "$out" "failed short.raw: $short_line"$'\n'"ok whole.raw"$'\n' $status 0 /root/by_reduce_folder
}

check_quarnel_reduce() {
    local out=$layer/merged/root/quarnel-reduce.out status=0
    in_chroot mkdir /root/by_quarnel_reduce
    in_chroot sh -c "cd /root && $readme_route" quarnel-reduce /root/by_quarnel_reduce \
        /matrix/volumes/whole.raw /matrix/volumes/short.raw >"$out" 2>"$out.errors" || status=$?
    echo "standard error:"
    cat "$out.errors"
    grep -F -x -v -e "$exit_noise" "$out.errors" >"$out.failures" || true
    diff -u <(printf 'failed short.raw: %s\n' "$short_line") "$out.failures" || return 1
    expect_batch_outcome "$out" "ok whole.raw"$'\n'"failed short.raw: $short_line"$'\n' $status 1 /root/by_quarnel_reduce
}

# The MATLAB zip's quarnel-reduce, linked statically on this machine, run on another C library.
check_static_command() {
    local out=$layer/merged/root/static_command.out status=0
    in_chroot mkdir /root/by_static_command
    in_chroot /matrix/quarnel-reduce-static /root/by_static_command /matrix/volumes/whole.raw \
        /matrix/volumes/short.raw >"$out" 2>"$out.errors" || status=$?
    echo "standard error:"
    cat "$out.errors"
    diff -u <(printf 'failed short.raw: %s\n' "$short_line") "$out.errors" || return 1
    expect_batch_outcome "$out" "ok whole.raw"$'\n'"failed short.raw: $short_line"$'\n' $status 1 /root/by_static_command
}

check_build_quarnel() {
    in_chroot mkdir /root/src
    in_chroot tar -xf /matrix/sources.tar -C /root/src
    in_chroot sh -c 'cd /root/src && octave-cli --norc --no-history --quiet --eval build_quarnel' || return 1
    octave in_chroot /matrix/calls_transcript.m /root/src/build/host /matrix/volumes/whole.raw \
        /matrix/volumes/short.raw /root/build_quarnel.transcript /root/build_quarnel.result
    same_result "$layer/merged/root/build_quarnel.result" "$shared/host.result" &&
        same_lines "$shared/host.transcript" "$layer/merged/root/build_quarnel.transcript"
}

check_exports() {
    [[ -f $layer/merged/root/src/build/host/Quarnel.mex ]] || { echo "build_quarnel made no module"; return 1; }
    in_chroot sh -c 'cd /root && mkoctfile --mex -o /root/empty_module.mex /root/src/tests/form/empty_module.cpp'
    python3 "$root/tests/form/module_form.py" octave "$layer/merged/root/src/build/host/Quarnel.mex" \
        --nm nm --probe "$layer/merged/root/empty_module.mex"
}

record() {
    printf '%s\t%s\n' "$1" "$2" >>"$results/$suite"
}

# Runs in a mount and PID namespace of its own: the layer over the chroot of suite $1, with the
# host's files at /matrix, and every check in it. When the namespace ends, so does all of it.
check_suite() {
    suite=$1
    layer=$work/layers/$suite
    logs=$log_root/$suite
    mount -t tmpfs -o mode=755,size=4g layer "$layer"
    mkdir "$layer/upper" "$layer/work" "$layer/merged"
    mount -t overlay -o "lowerdir=$cache/$suite,upperdir=$layer/upper,workdir=$layer/work" overlay "$layer/merged"
    mount -t proc proc "$layer/merged/proc"
    mount -t tmpfs -o mode=755 dev "$layer/merged/dev"
    local node
    for node in null zero full random urandom tty; do
        touch "$layer/merged/dev/$node"
        mount --bind "/dev/$node" "$layer/merged/dev/$node"
    done
    mkdir "$layer/merged/dev/shm" "$layer/merged/dev/pts"
    mount -t tmpfs -o mode=1777 shm "$layer/merged/dev/shm"
    ln -s /proc/self/fd "$layer/merged/dev/fd"
    mkdir -p "$layer/merged/matrix"
    mount --bind -o ro "$shared" "$layer/merged/matrix"

    local -a columns
    mapfile -t columns <<<"$columns_list"
    record version "$(in_chroot octave-cli --norc --no-history --quiet --eval 'disp(OCTAVE_VERSION)' 2>/dev/null)"
    local column installed=false
    for column in "${columns[@]}"; do
        case $column in
            bits | lines | reduce_folder | quarnel-reduce)
                if [[ $installed == false ]]; then
                    record "$column" -
                    continue
                fi
                ;;
        esac
        if "check_${column//[ -]/_}" >"$logs/$column.log" 2>&1; then
            record "$column" ok
        else
            record "$column" FAILED
        fi
        if [[ $column == "pkg root" ]] && [[ -n $(in_chroot find /usr/share/octave/packages -name 'quarnel-*' -print -quit) ]]; then
            installed=true
        fi
    done
}

# The chroot of suite $1, made when the cache has none, then checked; its lines go to the log.
run_suite() {
    local suite=$1
    mkdir -p "$log_root/$suite" "$work/layers/$suite"
    : >"$results/$suite"
    if [[ ! -d $cache/$suite ]]; then
        echo "$suite: making the chroot (log: $cache/$suite.log)"
        if ! make_chroot "$suite"; then
            echo "$suite: Debian's archive gave no chroot; the last lines of $cache/$suite.log:"
            tail -n 5 "$cache/$suite.log" | sed 's/^/    /'
            printf 'no chroot\n' >"$results/$suite"
            return
        fi
    fi
    echo "$suite: checking"
    # A check that hangs ends with the layer, and the checks it kept from running fail.
    local status=0
    timeout --kill-after=10 "$checks_time_limit" unshare --mount --propagation private --pid --fork --kill-child \
        bash -c 'check_suite "$1"' check_suite "$suite" >"$log_root/$suite/layer.log" 2>&1 || status=$?
    if ((status == 124)); then
        echo "the checks were stopped after $checks_time_limit" >>"$log_root/$suite/layer.log"
    fi
    if ((status != 0)); then
        echo "$suite: the layer ended badly (log: $log_root/$suite/layer.log)"
    fi
    echo "$suite: done"
}

# Builds what the checks compare with: the host's module and the package, from these sources.
build_host() {
    local generator=()
    [[ -f $root/build/CMakeCache.txt ]] || generator=(-G Ninja)
    cmake -S "$root" -B "$root/build" "${generator[@]}" >"$log_root/host-build.log" 2>&1 &&
        cmake --build "$root/build" --target quarnel_octave packages >>"$log_root/host-build.log" 2>&1 || {
        echo "$0: the host build failed:" >&2
        tail -n 20 "$log_root/host-build.log" >&2
        exit 2
    }
}

# A column's width: its name, or FAILED.
width() {
    local name=$1
    ((${#name} > 6)) && echo "${#name}" || echo 6
}

# The table, then a count of the checks; fails when a check failed or no chroot could be had.
print_table() {
    local suite column status version passed=0 failed=0 checked=0
    local row
    row=$(printf '%-8s %-9s' Octave Debian)
    for column in "${columns[@]}"; do row+=$(printf ' %-*s' "$(width "$column")" "$column"); done
    printf '%s\n' "${row%"${row##*[! ]}"}"
    for suite in "${suites[@]}"; do
        if [[ $(head -n 1 "$results/$suite") == "no chroot" ]]; then
            printf '%-8s %-9s Debian'\''s archive gave no chroot (log: %s)\n' - "$suite" "$cache/$suite.log"
            continue
        fi
        checked=$((checked + 1))
        version=$(awk -F '\t' '$1 == "version" { print $2 }' "$results/$suite")
        row=$(printf '%-8s %-9s' "${version:-?}" "$suite")
        for column in "${columns[@]}"; do
            status=$(awk -F '\t' -v column="$column" '$1 == column { print $2 }' "$results/$suite")
            [[ -n $status ]] || status=FAILED  # the layer ended before the check ran
            case $status in
                ok) passed=$((passed + 1)) ;;
                FAILED) failed=$((failed + 1)) ;;
            esac
            row+=$(printf ' %-*s' "$(width "$column")" "$status")
        done
        printf '%s\n' "${row%"${row##*[! ]}"}"
    done
    printf 'checks: %d passed, %d failed\n' "$passed" "$failed"
    if ((checked == 0)); then
        echo "$0: no Octave was checked: Debian's archive gave no chroot at all" >&2
        return 1
    fi
    ((failed == 0))
}

# The end of each failed check's log; a check the layer never reached shows the layer's log.
print_failures() {
    local suite column status log
    for suite in "${suites[@]}"; do
        [[ $(head -n 1 "$results/$suite") != "no chroot" ]] || continue
        for column in "${columns[@]}"; do
            status=$(awk -F '\t' -v column="$column" '$1 == column { print $2 }' "$results/$suite")
            [[ -z $status || $status == FAILED ]] || continue
            log=$log_root/$suite/$column.log
            [[ -f $log ]] || log=$log_root/$suite/layer.log
            echo
            echo "== $suite, $column: FAILED; the last lines of $log:"
            tail -n 25 "$log"
        done
    done
}

stop_jobs() {
    local job
    for job in $(jobs -p); do kill -TERM -- "-$job" 2>/dev/null || true; done
    wait || true
    rm -rf "$work" "$cache"/.*.partial.*
}

for tool in debootstrap unshare chroot python3 nm cmake octave-cli; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing" >&2; exit 2; }
done
mirror=$(debian_mirror | head -n 1)
[[ -n $mirror ]] || { echo "$0: no mirror of this host's Debian release in /etc/apt/sources.list.d/" >&2; exit 2; }
mkdir -p "$cache"
exec 9>"$cache/lock"
flock -n 9 || { echo "$0: another run holds $cache/lock" >&2; exit 2; }
rm -rf "$cache"/.*.partial.*  # left by a run that was killed while making a chroot or working
log_root=$cache/logs
rm -rf "$log_root"
mkdir -p "$log_root"
# The run's own files (volumes, sources, results), beside the chroots rather than in /tmp, which
# may be too small a tmpfs for them.
work=$(mktemp -d "$cache/.run.partial.XXXXXX")
trap stop_jobs EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
results=$work/results
shared=$work/shared
mkdir -p "$results" "$shared/volumes" "$work/layers"
chmod 755 "$work" "$shared"

build_host
version=$(sed -n 's/^project(Quarnel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
package_name=quarnel-$version.tar.gz
cp "$root/build/packages/$package_name" "$root/build/quarnel-reduce-static" "$root/scripts/octave-matrix/"*.m "$shared/"
git -C "$root" ls-files -z | tar -C "$root" --null -T - -cf "$shared/sources.tar"
head -c 268435456 /dev/urandom >"$shared/volumes/whole.raw"
truncate -s 268435455 "$shared/volumes/short.raw"
chmod -R a+rX "$shared"
octave-cli --norc --no-history --quiet "$shared/calls_transcript.m" "$root/build/octave" "$shared/volumes/whole.raw" \
    "$shared/volumes/short.raw" "$shared/host.transcript" "$shared/host.result" >"$log_root/host-reference.log" 2>&1 || {
    echo "$0: the host's module gave no reference:" >&2
    grep -F -x -v -e "$exit_noise" "$log_root/host-reference.log" >&2
    exit 2
}
export cache work shared results log_root package_name root readme_route short_line exit_noise
export -f check_suite record in_chroot as_user octave all_tests_passed install_and_test same_result same_lines \
    expect_batch_outcome check_pkg_user check_pkg_root check_bits check_lines check_reduce_folder \
    check_quarnel_reduce check_build_quarnel check_exports check_static_command
columns_list=$(printf '%s\n' "${columns[@]}")
export columns_list

# Two suites at a time: making a chroot waits on the archive, checking one on the two cores.
set -m
for suite in "${suites[@]}"; do
    while (($(jobs -rp | wc -l) >= 2)); do wait -n || true; done
    run_suite "$suite" &
done
wait
set +m

status=0
print_table || status=1
if ((status != 0)); then
    print_failures
fi
exit $status
