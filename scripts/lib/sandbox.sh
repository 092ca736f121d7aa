# Private namespaces for scripts that run the recorder without touching the host: sourced by
# tests/e2e/sandbox.sh, scripts/demo and scripts/bench. A script re-runs itself in private IPC and
# mount namespaces (sandbox_run), and there covers the device folders with empty tmpfs folders
# (sandbox_cover_device_folders), so that neither the host's files nor the queues of a running
# recorder are ever touched.

# Succeeds when "$1" runs inside namespaces that sandbox_run made for it.
sandbox_inside() { [ "${CDR_SANDBOX_OF:-}" == "$1" ]; }

# Succeeds when private IPC and mount namespaces can be made: as root, or with --as-user as any
# user through a user namespace.
sandbox_possible() {
  local -a options
  sandbox_unshare_options options "${1:-}" && unshare "${options[@]}" true 2>/dev/null
}

# sandbox_run [--as-user] SCRIPT [ARGS...]: runs SCRIPT in private IPC and mount namespaces, where
# sandbox_inside SCRIPT succeeds; returns its status. Fails (status 1) when the namespaces cannot
# be made. sandbox_exec does the same in place of the calling shell.
sandbox_run() { sandbox_start "" "$@"; }
sandbox_exec() { sandbox_start exec "$@"; }
sandbox_start() {
  local how=$1
  shift
  local -a options
  local mode=
  if [ "$1" == --as-user ]; then mode=$1; shift; fi
  sandbox_unshare_options options "$mode" || return 1
  CDR_SANDBOX_OF=$1 $how unshare "${options[@]}" "$@"
}

# sandbox_unshare_options ARRAY MODE: fills ARRAY with unshare's options, mapping the caller to
# root in a user namespace when MODE is --as-user and the caller is not root; fails when not root
# and MODE is not --as-user.
sandbox_unshare_options() {
  local -n into=$1
  into=(--ipc --mount --propagation private)
  [ "$(id -u)" -eq 0 ] && return 0
  [ "$2" == --as-user ] || return 1
  into=(--user --map-root-user "${into[@]}")
}

# sandbox_cover_device_folders [FILE...]: covers /mnt, /tmp (with an empty /tmp/logs), /run and,
# when present, /etc/velk-conf with empty tmpfs folders. The FILEs (executables) are copied first
# into $SANDBOX_BIN (/mnt/.sandbox/bin), since the mounts may hide the folders they live in (a
# checkout under /tmp); a caller may set SANDBOX_BIN to another folder under /mnt. Relative paths
# stay usable: the working folder survives a mount on top.
SANDBOX_BIN=/mnt/.sandbox/bin
sandbox_cover_device_folders() {
  local file fd
  local -a fds=()
  for file in "$@"; do
    exec {fd}<"$file"
    fds+=("$fd")
  done
  mount -t tmpfs -o size=256m sandbox-mnt /mnt
  mkdir -p "$SANDBOX_BIN"
  for file in "$@"; do
    fd=${fds[0]}
    fds=("${fds[@]:1}")
    cat <&"$fd" >"$SANDBOX_BIN/$(basename "$file")"
    exec {fd}<&-
    chmod +x "$SANDBOX_BIN/$(basename "$file")"
  done
  mount -t tmpfs -o size=64m sandbox-tmp /tmp
  mkdir -p /tmp/logs
  mount -t tmpfs -o size=16m sandbox-run /run
  if [ -d /etc/velk-conf ]; then mount -t tmpfs -o size=16m sandbox-conf /etc/velk-conf; fi
}
