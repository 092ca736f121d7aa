#!/usr/bin/env bash
# Runs one end-to-end test script against the real cdrd and cdrctl in private mount and IPC
# namespaces, with empty tmpfs folders over every device path the recorder uses, so that neither
# the host's files nor the queues of a running recorder are ever touched.
#   sandbox.sh SCRIPT CDRD CDRCTL "EMULATOR"   (EMULATOR runs CDRD, e.g. "qemu-ppc -L /usr/...")
# Exit 77 (skipped) when not root or namespaces are not available.
set -euo pipefail
. "$(dirname "$0")/../../scripts/lib/sandbox.sh"
if ! sandbox_inside "$0"; then
  if ! sandbox_possible; then
    echo "SKIP: end-to-end tests need root and private mount and IPC namespaces"
    exit 77
  fi
  sandbox_exec "$0" "$@"
fi

script=$1 cdrd=$(realpath "$2") cdrctl=$(realpath "$3") emulator=${4:-}
# The folders about to be covered may hold the sources: keep them reachable through the working
# folder, which a mount on top does not take away.
cd "$(dirname "$0")"
script_name=$(basename "$script")  # a script beside this one: copied below with the others

base=/mnt/.e2e
SANDBOX_BIN=$base/bin
sandbox_cover_device_folders "$cdrd" "$cdrctl"
mkdir -p $base/tests $base/mq $base/work $base/conf
cp -r ./*.sh ./*.py ./golden ../../dist/cdrd.init.in ../../dist/cdrd.service.in ../../docs/operation.md \
  $base/tests/
mount -t mqueue mqueue $base/mq

export E2E_BASE=$base
export E2E_MQ=$base/mq
export CDRD="${emulator:+$emulator }$base/bin/cdrd"
export CDRCTL=$base/bin/cdrctl
export VELK_PATH=$base/conf/
export TRACE_LOG=/tmp/logs/cdr.log
cd $base/work
exec bash "$base/tests/$script_name"
