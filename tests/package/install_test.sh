#!/usr/bin/env bash
# Installs the host's Debian package for real and takes it through its life: install (the
# maintainer scripts register and start the recorder), a report posted with the installed cdrctl,
# an upgrade to a rebuilt package of a higher version (conffile edits kept, recorder restarted,
# no record lost), removal (recorder stopped, conffiles and records kept) and purge (every
# registration gone, the records still there). Each step checks what is on disk.
#
# It all happens in a throw-away root: an overlay over / whose changes go to a tmpfs, inside
# private mount, IPC and PID namespaces, entered with chroot; the host's files, dpkg database,
# queues and processes are never touched. Needs root; exit 77 (skipped) otherwise.
#   tests/package/install_test.sh   (builds the packages in build/package-test)
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare --mount --ipc --pid --fork true 2>/dev/null; then
    echo "SKIP: the installation test needs root and private mount, IPC and PID namespaces"
    exit 77
  fi
  cd "$(dirname "$0")/../.."
  . scripts/package
  version=$(project_version)
  arch=$(dpkg --print-architecture)
  dir=build/package-test
  mkdir -p "$dir/debs"
  cp "$(build_package "$dir" "$arch" "$version")" "$dir/debs/old.deb"
  cp "$(build_package "$dir" "$arch" "$version.1")" "$dir/debs/new.deb"
  scratch=$(mktemp -d /tmp/cdr-install-test.XXXXXX)
  status=0
  unshare --mount --ipc --pid --fork --propagation private "$0" --inside "$PWD/$dir/debs" \
    "$scratch" "$version" || status=$?
  rmdir "$scratch"
  exit $status
fi

debs=$2 scratch=$3 old_version=$4
root=$scratch/root
mount -t tmpfs install-test "$scratch"
mkdir -p "$scratch/upper" "$scratch/work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$root"
mount --rbind /dev "$root/dev"
mount -t proc proc "$root/proc"
for dir in tmp run mnt; do mount -t tmpfs "install-test-$dir" "$root/$dir"; done
cp "$debs/old.deb" "$debs/new.deb" "$root/tmp/"
# A booted SysV system, where services start when installed: no policy forbidding it, and a
# runlevel (a chroot has none, and invoke-rc.d starts nothing at an unknown runlevel).
rm -f "$root/usr/sbin/policy-rc.d"
rm -f "$root/usr/sbin/runlevel"
printf '#!/bin/sh\necho "N 2"\n' >"$root/usr/sbin/runlevel"
chmod 755 "$root/usr/sbin/runlevel"

# in_root COMMAND...: runs COMMAND in the throw-away root, with a clean environment.
in_root() {
  chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"
}

fail() {
  echo "FAIL: $*" >&2
  [ -f "$root/tmp/logs/cdr.log" ] && { echo "--- trace log" >&2; tail -20 "$root/tmp/logs/cdr.log" >&2; }
  exit 1
}

# expect_files present|absent PATH...: paths inside the root (links are not followed).
expect_files() {
  local want=$1 path found
  shift
  for path in "$@"; do
    found=absent
    if [ -e "$root$path" ] || [ -L "$root$path" ]; then found=present; fi
    [ "$found" == "$want" ] || fail "$path is $found"
  done
}

# The pid of the running recorder, from the init script's pid file; fails when none runs.
recorder_pid() {
  local pid
  pid=$(cat "$root/run/cdrd.pid" 2>/dev/null) || fail "no pid file: the recorder does not run"
  kill -0 "$pid" 2>/dev/null || fail "the recorder of pid file $pid does not run"
  echo "$pid"
}

# Waits until the installed cdrctl finds the recorder serving its queues.
await_recorder() {
  for _ in $(seq 300); do in_root cdrctl status >/dev/null && return; sleep 0.1; done
  fail "the recorder does not serve its queues"
}

# The callers of the stored answered calls, newest first, read from the database file itself.
stored_callers() {
  sed -n 's/^caller=//p' "$root/etc/velk-conf/telephony/CDR_db" 2>/dev/null | tr '\n' ' '
}

package_state() { in_root dpkg-query -W -f '${Version} ${db:Status-Status}' call-detail-recorder; }

program_files=(/usr/sbin/cdrd /usr/bin/cdrctl /usr/share/man/man8/cdrd.8.gz
               /usr/share/doc/call-detail-recorder/copyright /usr/lib/systemd/system/cdrd.service)
conffiles=(/etc/init.d/cdrd /etc/default/cdrd)
rc_links=(/etc/rc2.d/S01cdrd /etc/rc0.d/K01cdrd)
enabled=/etc/systemd/system/multi-user.target.wants/cdrd.service

# The folders a device has: the configuration root and the trace log's.
mkdir -p "$root/etc/velk-conf" "$root/tmp/logs"
echo "--- install $old_version"
in_root dpkg -i /tmp/old.deb >"$scratch/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$scratch/dpkg.log")"
expect_files present "${program_files[@]}" "${conffiles[@]}" "${rc_links[@]}" "$enabled"
[ "$(package_state)" == "$old_version installed" ] || fail "state after install: $(package_state)"
recorder_pid >/dev/null
await_recorder
in_root cdrctl add 1 called=2001 caller=1001 duration=61

echo "--- upgrade to $old_version.1"
echo "STOP_TIMEOUT=20  # the administrator's" >>"$root/etc/default/cdrd"
before_upgrade=$(recorder_pid)
in_root dpkg -i /tmp/new.deb >"$scratch/dpkg.log" 2>&1 || fail "upgrade: $(cat "$scratch/dpkg.log")"
[ "$(package_state)" == "$old_version.1 installed" ] || fail "state after upgrade: $(package_state)"
grep -q "the administrator's" "$root/etc/default/cdrd" || fail "the upgrade lost the conffile edit"
expect_files absent /etc/default/cdrd.dpkg-new /etc/default/cdrd.dpkg-dist
expect_files present "${program_files[@]}" "${rc_links[@]}" "$enabled"
[ "$(recorder_pid)" != "$before_upgrade" ] || fail "the upgrade did not restart the recorder"
await_recorder
in_root cdrctl add 1 called=2002 caller=1002 duration=62

echo "--- remove"
running=$(recorder_pid)
in_root dpkg -r call-detail-recorder >"$scratch/dpkg.log" 2>&1 || fail "remove: $(cat "$scratch/dpkg.log")"
! kill -0 "$running" 2>/dev/null || fail "the removal left the recorder running"
[ "$(package_state)" == "$old_version.1 config-files" ] || fail "state after remove: $(package_state)"
expect_files absent "${program_files[@]}" /run/cdrd.pid
# The unit stays masked (linked to /dev/null) until a purge or a new installation.
expect_files present "${conffiles[@]}" "${rc_links[@]}" /etc/systemd/system/cdrd.service
grep -q "the administrator's" "$root/etc/default/cdrd" || fail "the removal lost the conffile edit"
[ "$(stored_callers)" == "1002 1001 " ] || fail "after the removal the database holds: $(stored_callers)"

echo "--- purge"
in_root dpkg -P call-detail-recorder >"$scratch/dpkg.log" 2>&1 || fail "purge: $(cat "$scratch/dpkg.log")"
in_root dpkg-query -W call-detail-recorder >/dev/null 2>&1 && fail "dpkg still knows the package"
expect_files absent "${conffiles[@]}" "${rc_links[@]}" "$enabled" /etc/systemd/system/cdrd.service \
  /var/lib/systemd/deb-systemd-helper-enabled/cdrd.service /usr/share/doc/call-detail-recorder
[ "$(stored_callers)" == "1002 1001 " ] || fail "after the purge the database holds: $(stored_callers)"
echo "install_test: ok"
