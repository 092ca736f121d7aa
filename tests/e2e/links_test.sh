# Databases that are symbolic links into persistent storage, as on a device: a link owned by root
# (or the recorder's user) is followed, so the save updates the target and the link stays. A link
# owned by another user is replaced instead, which the unit tests of the file saving check.
. "$(dirname "$0")/lib.sh"

flash=$E2E_BASE/flash/cdr
mkdir -p "$db" "$flash"

# Root's link to a root-owned target of mode 0600.
for id in 1 0; do printf '{\nID=%d\ncalled=flash-%d\n}\n' $id $id; done >"$flash/CDR_db"
chmod 0600 "$flash/CDR_db"
ln -s "$flash/CDR_db" "$db/CDR_db"
start_cdrd
$CDRCTL add 1 called=through-link
flushed
[ -L "$db/CDR_db" ] || fail "the link was replaced by a plain file"
expect_eq through-link "$(first_value "$flash/CDR_db" called)" "newest record in the target"
expect_eq 2 "$(first_value "$flash/CDR_db" ID)" "number of the new record"
expect_eq "600 root" "$(stat -c '%a %U' "$flash/CDR_db")" "mode and owner of the target"
[ ! -e "$flash/CDR_db.tmp" ] && [ ! -e "$db/CDR_db.tmp" ] || fail "a temporary file was left"
stop_cdrd
echo "links: ok"
