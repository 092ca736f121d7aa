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
# The folders about to be covered may hold the build or the sources: keep them reachable through
# open descriptors and the working folder, which a mount on top does not take away.
exec 3<"$cdrd" 4<"$cdrctl"
cd "$(dirname "$0")"
script_name=$(basename "$script")
if [ "$(cd "$(dirname "$script")" && pwd)" != "$PWD" ]; then
  echo "sandbox.sh: $script must lie beside sandbox.sh" >&2
  exit 2
fi

mount -t tmpfs -o size=256m e2e /mnt
base=/mnt/.e2e
mkdir -p $base/bin $base/tests $base/mq $base/work $base/conf
cat <&3 >$base/bin/cdrd
cat <&4 >$base/bin/cdrctl
chmod +x $base/bin/cdrd $base/bin/cdrctl
exec 3<&- 4<&-
cp -r ./*.sh ./*.py ./golden ../../dist/cdrd.init.in $base/tests/
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
exec bash "$base/tests/$script_name"
