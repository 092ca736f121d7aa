# Databases that are symbolic links into persistent storage, as on a device: a link owned by root
# (or the recorder's user) is followed, so the save updates the target and the link stays; a link
# owned by another user is not followed, so a planted link cannot redirect the recorder's writes.
. "$(dirname "$0")/lib.sh"

db=${VELK_PATH}telephony
flash=$E2E_BASE/flash/cdr
first_value() { grep -m1 "^$2=" "$1" | cut -d= -f2-; }
mkdir -p "$db" "$flash"

# Root's link to a root-owned target of mode 0600.
for id in 1 0; do printf '{\nID=%d\ncalled=flash-%d\n}\n' $id $id; done >"$flash/CDR_db"
chmod 0600 "$flash/CDR_db"
ln -s "$flash/CDR_db" "$db/CDR_db"
start_cdrd
$CDRCTL add 1 called=through-link
$CDRCTL flush 7 >/dev/null || fail "flush was not answered"
[ -L "$db/CDR_db" ] || fail "the link was replaced by a plain file"
expect_eq through-link "$(first_value "$flash/CDR_db" called)" "newest record in the target"
expect_eq 2 "$(first_value "$flash/CDR_db" ID)" "number of the new record"
expect_eq "600 root" "$(stat -c '%a %U' "$flash/CDR_db")" "mode and owner of the target"
[ ! -e "$flash/CDR_db.tmp" ] && [ ! -e "$db/CDR_db.tmp" ] || fail "a temporary file was left"
stop_cdrd

# The same layout, but the link belongs to another user: it is replaced, the target untouched.
rm "$db/CDR_db"
for id in 1 0; do printf '{\nID=%d\ncalled=planted-%d\n}\n' $id $id; done >"$flash/planted"
cp "$flash/planted" "$E2E_BASE/planted.before"
ln -s "$flash/planted" "$db/CDR_db"
chown -h nobody "$db/CDR_db"
start_cdrd
$CDRCTL add 1 called=not-through-link
$CDRCTL flush 7 >/dev/null || fail "flush was not answered"
[ -f "$db/CDR_db" ] && [ ! -L "$db/CDR_db" ] || fail "the planted link was followed"
cmp -s "$flash/planted" "$E2E_BASE/planted.before" || fail "the planted link's target was written"
expect_eq not-through-link "$(first_value "$db/CDR_db" called)" "newest record in the new file"
stop_cdrd
echo "links: ok"
