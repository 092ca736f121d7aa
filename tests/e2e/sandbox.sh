#!/usr/bin/env bash
# Runs one end-to-end test script against the real cdrd and cdrctl in private mount and IPC
# namespaces, with empty tmpfs folders over every device path the recorder uses, so that neither
# the host's files nor the queues of a running recorder are ever touched.
#   sandbox.sh SCRIPT CDRD CDRCTL "EMULATOR"   (EMULATOR runs CDRD, e.g. "qemu-ppc -L /usr/...")
# Exit 77 (skipped) when not root or namespaces are not available.
set -euo pipefail
if [ -z "${CDR_E2E_SANDBOXED:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare --ipc --mount --propagation private true 2>/dev/null; then
    echo "SKIP: end-to-end tests need root and private mount and IPC namespaces"
    exit 77
  fi
  export CDR_E2E_SANDBOXED=1
  exec unshare --ipc --mount --propagation private "$0" "$@"
fi

script=$1 cdrd=$2 cdrctl=$3 emulator=${4:-}
here=$(cd "$(dirname "$0")" && pwd)

# Copy what the test needs out of the way first: the build folder may lie under /tmp.
mount -t tmpfs -o size=256m e2e /mnt
base=/mnt/.e2e
mkdir -p $base/bin $base/tests $base/mq $base/work $base/conf
cp "$cdrd" $base/bin/cdrd
cp "$cdrctl" $base/bin/cdrctl
cp "$here"/*.sh "$script" $base/tests/
mount -t mqueue mqueue $base/mq

mount -t tmpfs -o size=64m e2e-tmp /tmp
mkdir -p /tmp/logs
mount -t tmpfs -o size=16m e2e-run /run
[ -d /etc/velk-conf ] && mount -t tmpfs -o size=16m e2e-conf /etc/velk-conf

export E2E_BASE=$base
export E2E_MQ=$base/mq
export CDRD="${emulator:+$emulator }$base/bin/cdrd"
export CDRCTL=$base/bin/cdrctl
export VELK_PATH=$base/conf/
export TRACE_LOG=/tmp/logs/cdr.log
cd $base/work
exec bash "$base/tests/$(basename "$script")"
