# Power cuts on a real file system: the databases (the configuration root's telephony/ folder),
# the download log and the outbox live on ext4 on a loop device while senders post reports and
# downloads go to the outbox. At a random moment the recorder is frozen (SIGSTOP), the backing
# file copied as it stands, the recorder and senders killed, and the copy mounted as the next
# boot finds it (ext4 replays its journal); the recorder starts on it in a fresh IPC namespace,
# so queued reports vanish as at a power cut. power_cut_check.py compares the files with what the
# senders were told; the next cut is made on the copy, so the checks span all cuts.
#
# The loop device runs with direct I/O: what the copy lacks had not left ext4's own page cache,
# as at a real power cut. The kernel may still write back while the copy is made, so the copy may
# be newer than the freeze (or mix blocks from before and after such a write), never older than
# what was synced before it; a disk's write cache or a torn sector is not shown.
#
# POWER_CUT_CUTS (30 on the host, 5 under an emulator) sets the number of cuts;
# power_cut_check.py says what must survive them.
. "$(dirname "$0")/lib.sh"
export LC_ALL=C

here=$(dirname "$0")
emulated=0
[ "$CDRD" == "${CDRD%% *}" ] || emulated=1
cuts=${POWER_CUT_CUTS:-$((emulated ? 5 : 30))}
export POWER_CUT_IDLE_MS=${POWER_CUT_IDLE_MS:-$((emulated ? 1000 : 100))}
work=$E2E_BASE/power
ledger=$work/ledger
fs=$work/fs
db=${VELK_PATH}telephony
calldata=/mnt/bbram/calldata

# --- the round: runs in an IPC namespace of its own (unshare --ipc), started by the main part
#   round CUT IMAGE COPY: starts the recorder on the mounted file system, checks the files
#   against the ledger of cut CUT-1, then (unless CUT passes the number of cuts) lets senders
#   post until a random moment, freezes the recorder, copies IMAGE to COPY and kills everything.
round() {
  local cut=$1 image=$2 copy=$3
  mount -t mqueue mqueue "$E2E_MQ"
  trap 'end_round' EXIT
  start_cdrd
  if [ "$cut" -gt 1 ]; then
    # The check reads the files: the flush writes whatever the recorder took up at its start.
    [ "$($CDRCTL --timeout 20 flush 7)" == "flush 7: answered" ] ||
      fail "no answer to flush 7 after cut $((cut - 1))"
    python3 "$here/power_cut_check.py" $((cut - 1)) "$work/state.json" "$ledger" "$db" \
      "$calldata/down_stat.log" "$calldata/outbox" | tee -a "$work/summary" ||
      fail "cut $((cut - 1)) lost or garbled records"
  fi
  if [ "$cut" -gt "$cuts" ]; then
    stop_cdrd
    return
  fi
  for type in 1 2 4; do sender "$cut" "$type" 1 & done
  sender "$cut" 1 2 &  # two senders of answered calls, as two lines would be
  flusher "$cut" &
  idle_watch "$cut" &
  nap_random $((emulated ? 4000 : 1500)) 300
  echo "$cut $EPOCHREALTIME" >>"$ledger/freezes"
  kill -STOP "$CDRD_PID"
  until stopped "$CDRD_PID"; do nap 0.001; done
  cp --sparse=always "$image" "$copy"
  kill -KILL "$CDRD_PID"
  wait "$CDRD_PID" 2>/dev/null || true
  CDRD_PID=
}

# Ends what a round started, however it ends (the senders with it), and takes its message
# queues away.
end_round() {
  stop_cdrd
  local job
  for job in $(jobs -p); do kill_tree "$job"; done
  wait 2>/dev/null || true
  umount "$E2E_MQ"
}

# Kills process PID and its descendants (a sender and the cdrctl it waits for), stopping each
# first so that none starts another child meanwhile.
kill_tree() {
  kill -STOP "$1" 2>/dev/null || return 0
  local child
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do kill_tree "$child"; done
  kill -KILL "$1" 2>/dev/null || true
}

# Succeeds when every thread of process PID is stopped; fails the test when the process ended.
stopped() {
  local stat
  for stat in /proc/"$1"/task/*/stat; do
    [[ "$(<"$stat")" =~ ^[0-9]+\ \(.*\)\ ([A-Za-z])\  ]] || return 1
    case ${BASH_REMATCH[1]} in
      T | t) ;;
      Z | X) fail "cdrd ended by itself before the freeze" ;;
      *) return 1 ;;
    esac
  done
}

# Sleeps SECONDS without starting a process (senders call it many times a second).
nap() { read -r -t "$1" -u "$nap_fd" || true; }
nap_fd=
exec {nap_fd}<> <(:)

# nap_random MAX [MIN]: sleeps a random time of at most MAX milliseconds and at least MIN.
nap_random() {
  local ms=$((${2:-0} + RANDOM % ($1 - ${2:-0} + 1))) seconds
  printf -v seconds '%d.%03d' $((ms / 1000)) $((ms % 1000))
  nap "$seconds"
}

# sender CUT TYPE NO: posts reports of TYPE, each with a caller number of its own (cut, type,
# sender, sequence), a few milliseconds apart; the ledger gets each add's exit status and times.
sender() {
  local cut=$1 type=$2 no=$3 seq=0 caller start status
  while :; do
    printf -v caller '%03d%d%d%05d' "$cut" "$type" "$no" $((seq++))
    start=$EPOCHREALTIME status=0
    $CDRCTL --timeout 2 add "$type" caller="$caller" called="$cut" >/dev/null 2>&1 || status=$?
    echo "$cut $caller $type $status $start $EPOCHREALTIME" >>"$ledger/adds"
    nap_random 20
  done
}

# flusher CUT: asks for "flush 7" now and then, as the web side does; status 0 only when answered.
flusher() {
  local cut=$1 start status answer
  while :; do
    nap_random 800 100
    start=$EPOCHREALTIME status=1
    answer=$($CDRCTL --timeout 5 flush 7 2>/dev/null) || true
    [ "$answer" != "flush 7: answered" ] || status=0
    echo "$cut $status $start $EPOCHREALTIME" >>"$ledger/flushes"
  done
}

# idle_watch CUT: notes, at most every 5 ms, the times at which both queues were empty.
idle_watch() {
  local cut=$1 now reports requests
  while :; do
    now=$EPOCHREALTIME
    read -r reports <"$E2E_MQ/ping-15" && read -r requests <"$E2E_MQ/ping-111" &&
      [[ $reports == QSIZE:0\ * && $requests == QSIZE:0\ * ]] &&
      echo "$cut $now" >>"$ledger/idle"
    nap 0.005
  done
}

if [ "${1:-}" == round ]; then
  shift
  round "$@"
  exit 0
fi

# --- the main part: the file systems and the loop devices, one cut after another

loops=()  # NODE=IMAGE of the loop devices attached by this test

# mount_image IMAGE: attaches IMAGE to a free loop device with direct I/O, mounts it, and puts
# the databases' folder and the download log's folder (with the outbox) onto it. Only loop
# devices the kernel already has are used, through nodes made in the test's own folder.
mount_image() {
  local sys dev node status
  for sys in /sys/block/loop*; do
    [ ! -e "$sys/loop/backing_file" ] || continue
    dev=$(<"$sys/dev")
    node=$work/dev/${sys##*/}
    [ -b "$node" ] || mknod "$node" b "${dev%%:*}" "${dev##*:}"
    status=0
    loop_mount "$node" "$1" "$fs" || status=$?
    [ $status -ne 3 ] || continue  # taken meanwhile
    [ $status -eq 0 ] || fail "$1 cannot be mounted after the cut"
    loops+=("$node=$1")
    [ "$(<"$sys/loop/dio")" == 1 ] || fail "${sys##*/} does not take direct I/O on $1"
    mkdir -p "$fs/telephony" "$fs/calldata"
    mount --bind "$fs/telephony" "$db"
    mount --bind "$fs/calldata" "$calldata"
    return 0
  done
  fail "no free loop device for $1"
}

# loop_mount NODE IMAGE FOLDER: attaches IMAGE to loop device NODE as `losetup --direct-io=on`
# does, and marks the device to detach itself once its last user closes it; then mounts it on
# FOLDER. So the device goes away at the unmount, or with this mount namespace however the test
# ends, even if it is ended between the two steps. Status 3: NODE is in use; 1: mount failed.
loop_mount() {
  python3 - "$@" <<'PY'
import errno, fcntl, os, struct, subprocess, sys
LOOP_CONFIGURE, LO_FLAGS_AUTOCLEAR, LO_FLAGS_DIRECT_IO = 0x4C0A, 4, 16
node, image, folder = sys.argv[1:]
backing = os.open(image, os.O_RDWR)
device = os.open(node, os.O_RDWR)
# struct loop_config: fd, block_size, struct loop_info64 (232 bytes: lo_flags is the u32 at 52,
# lo_file_name the 64 bytes at 56), 8 reserved u64.
config = bytearray(304)
struct.pack_into("=II", config, 0, backing, 0)
struct.pack_into("=I", config, 8 + 52, LO_FLAGS_AUTOCLEAR | LO_FLAGS_DIRECT_IO)
config[8 + 56:8 + 56 + 63] = image.encode()[:63].ljust(63, b"\0")
try:
    fcntl.ioctl(device, LOOP_CONFIGURE, bytes(config))
except OSError as error:
    sys.exit(3 if error.errno == errno.EBUSY else "%s: %s" % (node, error))
os.close(backing)
sys.exit(0 if subprocess.call(["mount", "-t", "ext4", node, folder]) == 0 else 1)
PY
}

# Unmounts the file system and makes sure its loop device is detached: the unmount detaches it
# (autoclear), unless the test failed before; a device that another user attached meanwhile is
# left alone.
unmount_image() {
  ! mountpoint -q "$calldata" || umount "$calldata"
  ! mountpoint -q "$db" || umount "$db"
  ! mountpoint -q "$fs" || umount "$fs"
  local entry node image waited inode device
  for entry in "${loops[@]}"; do
    node=${entry%%=*} image=${entry#*=}
    for ((waited = 0; waited < 50; waited++)); do
      read -r inode device < <(losetup -n -O BACK-INO,BACK-MAJ:MIN --list "$node" 2>/dev/null) ||
        continue 2
      [ "$inode $device" == "$(stat -c '%i %Hd:%Ld' "$image" 2>/dev/null)" ] || continue 2
      nap 0.02
    done
    losetup -d "$node" || echo "$node stays attached to $image: it could not be detached" >&2
  done
  loops=()
}

if ! command -v mkfs.ext4 >/dev/null || ! command -v losetup >/dev/null; then
  echo "SKIP: mkfs.ext4 (e2fsprogs) and losetup (mount) are needed"
  exit 77
fi
if ! (for sys in /sys/block/loop*; do [ -e "$sys/loop/backing_file" ] || exit 0; done; exit 1); then
  echo "SKIP: a free loop device is needed, none found"
  exit 77
fi

mkdir -p "$work"
mount -t tmpfs -o size=192m power-cut "$work"
mkdir -p "$work/dev" "$ledger" "$fs" "$db" "$calldata"
trap 'stop_cdrd; unmount_image' EXIT
printf 'cdr_max_stated=100000\ncdr_max_missed=100000\ncdr_max_failed=100000\n' \
  >"${VELK_PATH}general-settings.conf"
# No delivery command: every download stays in the outbox, which may grow past the whole test.
auto_download 'download_cnt=10\ndownload_keep_kb=65536\n'

image=$work/a.img copy=$work/b.img spare=
truncate -s 64M "$image"
# Inode tables and journal written now, so that no lazy initialisation writes during a copy.
mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$image"
mount_image "$image"
started=$SECONDS
for ((cut = 1; cut <= cuts + 1; cut++)); do
  unshare --ipc bash "$0" round "$cut" "$image" "$copy" || fail "round $cut failed"
  [ "$cut" -le "$cuts" ] || break
  unmount_image
  rm -f "$image"
  mount_image "$copy"
  spare=$image image=$copy copy=$spare
done
unmount_image
fsck=$(e2fsck -fn "$image" 2>&1) || fail "the file system is damaged after the last cut: $fsck"
echo "power cut: ok, $cuts cuts in $((SECONDS - started)) s; file system clean (e2fsck -fn);" \
  "last check: $(grep '^cut ' "$work/summary" | tail -1)"
