#!/usr/bin/env python3
"""Checks the recorder's files after a simulated power cut against what the senders were told.

usage: power_cut_check.py CUT STATE LEDGER DB-DIR DOWNLOAD-LOG OUTBOX

Run by power_cut_test.sh once the recorder runs again on the copy taken at cut CUT and a
"flush 7" was answered. LEDGER is the folder the senders wrote (times in epoch seconds):
  adds      "CUT CALLER TYPE STATUS START END": one `cdrctl add`, its exit status, its times
  flushes   "CUT STATUS START END": one `cdrctl flush 7`; STATUS 0 only when it was answered
  idle      "CUT TIME": both queues were seen empty at TIME (read after TIME was taken)
  freezes   "CUT TIME": the recorder was frozen just after TIME
STATE (JSON) carries what earlier checks saw, so that the checks span every cut.

A report is known durable when its add returned before a `flush 7` was posted that was answered
before the freeze (the poller serves a message only after every message sent earlier on the
other queue, and answers once the files are written), or before both queues were seen empty at
least POWER_CUT_IDLE_MS before the freeze (the journal is synced before the recorder waits).

Checks: every file whole; each database's IDs one run falling by one, no caller twice in a
database, every caller in the database of its type; every known-durable report in its database;
every database record in exactly one of the download log and the outbox files under the same ID,
and every record of those in its database; what an earlier check saw still there under the same
ID; a (type, ID) never naming two calls.
"""
import json
import os
import re
import sys

DATABASES = {1: "CDR_db", 2: "missed_calls_db", 4: "unsuccess_calls_db"}
CALLER = re.compile(r"^\d{3}([124])\d{6}$")  # cut, type, sender, sequence: see the test


class Failure(Exception):
    pass


def read_sections(path, typed):
    """The records of a sectioned file, newest first, as dicts; raises Failure when not whole.

    A database's sections open with "{", the download log's and the outbox files' with
    "section" then "{"; `typed` files carry the record type in each section."""
    records, current, pending = [], None, False
    with open(path, "rb") as handle:
        lines = handle.read().decode("latin-1").split("\n")
    if lines.pop() != "":
        raise Failure("%s: the last line is cut" % path)
    for number, line in enumerate(lines, 1):
        if typed and line == "section" and current is None and not pending:
            pending = True
        elif line == "{" and current is None and (pending or not typed):
            current, pending = {}, False
        elif line == "}" and current is not None:
            for key in ("ID", "caller") + (("type",) if typed else ()):
                if key not in current:
                    raise Failure("%s:%d: a record without %s" % (path, number, key))
            records.append(current)
            current = None
        elif current is not None and "=" in line:
            key, value = line.split("=", 1)
            current.setdefault(key, value)
        else:
            raise Failure("%s:%d: unexpected line %r" % (path, number, line[:60]))
    if current is not None or pending:
        raise Failure("%s: the last record is cut" % path)
    return records


def type_of(caller, path):
    match = CALLER.match(caller)
    if not match:
        raise Failure("%s: a record with the unknown caller %r" % (path, caller))
    return int(match.group(1))


def read_storage(db_dir, log_path, outbox):
    """(databases, places): databases[type] maps caller to ID; places maps each caller in the
    download log or the outbox files to a list of (file name, type, ID)."""
    databases = {}
    for record_type, name in DATABASES.items():
        path = os.path.join(db_dir, name)
        callers, previous = {}, None
        for record in read_sections(path, False) if os.path.exists(path) else []:
            caller, number = record["caller"], int(record["ID"])
            if type_of(caller, path) != record_type:
                raise Failure("%s: caller %s is a record of another type" % (path, caller))
            if caller in callers:
                raise Failure("%s: caller %s twice (IDs %d and %d)" %
                              (path, caller, callers[caller], number))
            if previous is not None and number != previous - 1:
                raise Failure("%s: ID %d follows ID %d" % (path, number, previous))
            callers[caller], previous = number, number
        databases[record_type] = callers
    files = [log_path] if os.path.exists(log_path) else []
    if os.path.isdir(outbox):
        files += [os.path.join(outbox, name) for name in sorted(os.listdir(outbox))
                  if name.startswith("stat-") and name.endswith(".log")]
    places = {}
    for path in files:
        for record in read_sections(path, True):
            caller = record["caller"]
            if type_of(caller, path) != int(record["type"]):
                raise Failure("%s: caller %s under type %s" % (path, caller, record["type"]))
            places.setdefault(caller, []).append(
                (os.path.basename(path), int(record["type"]), int(record["ID"])))
    return databases, places


def read_ledger(ledger, name, cut):
    """The lines of the ledger file `name` written in round `cut`, split into words."""
    path = os.path.join(ledger, name)
    if not os.path.exists(path):
        return []
    with open(path) as handle:
        return [f for f in (line.split() for line in handle) if f and int(f[0]) == cut]


def known_durable(ledger, cut, idle_seconds):
    """({caller: type} of the adds of round `cut` that the rules above call durable, the same
    of every add that returned 0 in that round)."""
    freeze = [float(f[1]) for f in read_ledger(ledger, "freezes", cut)]
    if not freeze:
        raise Failure("the ledger lacks the freeze of cut %d" % cut)
    horizon = max([float(f[2]) for f in read_ledger(ledger, "flushes", cut)
                   if f[1] == "0" and float(f[3]) < freeze[0]] +
                  [float(i[1]) for i in read_ledger(ledger, "idle", cut)
                   if float(i[1]) <= freeze[0] - idle_seconds], default=0.0)
    taken = [a for a in read_ledger(ledger, "adds", cut) if a[3] == "0"]
    return ({a[1]: int(a[2]) for a in taken if float(a[5]) < horizon},
            {a[1]: int(a[2]) for a in taken})


def errors_of(state, databases, places):
    """What does not hold, as messages. `state["names"]` ("type:ID" to caller, over every
    check) is updated."""
    errors = []
    for caller, record_type in sorted(state["durable"].items()):
        if caller not in databases[record_type]:
            errors.append("durable report %s is not in %s" % (caller, DATABASES[record_type]))
    for record_type, callers in state["databases"].items():
        for caller, number in callers.items():
            now = databases[int(record_type)].get(caller)
            if now != number:
                errors.append("report %s was ID %d in %s at the last check, now %s" %
                              (caller, number, DATABASES[int(record_type)], now))
    for caller in state["delivered"]:
        if caller not in places:
            errors.append("report %s left the download log and the outbox" % caller)
    named = []  # (type, ID, caller, place) of every record on storage
    for record_type, callers in databases.items():
        for caller, number in callers.items():
            if caller not in places:
                errors.append("report %s is in %s but neither in the download log nor in the "
                              "outbox" % (caller, DATABASES[record_type]))
            named.append((record_type, number, caller, DATABASES[record_type]))
    for caller, where in sorted(places.items()):
        place, record_type, number = where[0]
        if len(where) > 1:
            errors.append("report %s is in %s" % (caller, " and ".join(w[0] for w in where)))
        stored = databases[record_type].get(caller)
        if stored is None:
            errors.append("report %s is in %s but not in %s" %
                          (caller, place, DATABASES[record_type]))
        elif stored != number:
            errors.append("report %s is ID %d in %s but ID %d in %s" %
                          (caller, stored, DATABASES[record_type], number, place))
        named.append((record_type, number, caller, place))
    for record_type, number, caller, place in named:
        key = "%d:%d" % (record_type, number)
        if state["names"].setdefault(key, caller) != caller:
            errors.append("type %d ID %d named report %s, now %s in %s" %
                          (record_type, number, state["names"][key], caller, place))
    return errors


def check(args):
    cut, state_path, ledger, db_dir, log_path, outbox = args
    cut = int(cut)
    idle_seconds = int(os.environ.get("POWER_CUT_IDLE_MS", "100")) / 1000.0
    state = {"durable": {}, "databases": {}, "delivered": [], "names": {}, "taken": 0, "lost": 0}
    if os.path.exists(state_path):
        with open(state_path) as handle:
            state = json.load(handle)
    durable, taken = known_durable(ledger, cut, idle_seconds)
    state["durable"].update(durable)
    databases, places = read_storage(db_dir, log_path, outbox)
    lost = [c for c, t in taken.items() if c not in databases[t]]
    state["taken"] += len(taken)
    state["lost"] += len(lost)
    errors = errors_of(state, databases, places)
    if errors:
        raise Failure("%d faults after cut %d (of %d reports taken in that round, %d lost):\n  %s"
                      % (len(errors), cut, len(taken), len(lost), "\n  ".join(errors[:8])))
    state["databases"] = {str(t): c for t, c in databases.items()}
    state["delivered"] = sorted(places)
    with open(state_path, "w") as handle:
        json.dump(state, handle)
    files = len({w[0] for where in places.values() for w in where})
    print("cut %d: %d of %d reports taken known durable, all on storage; %d taken lost here, "
          "%d in all; databases %s; %d records in %d delivery files" %
          (cut, len(state["durable"]), state["taken"], len(lost), state["lost"],
           "/".join(str(len(databases[t])) for t in sorted(databases)), len(places), files))


def main():
    if len(sys.argv) != 7:
        sys.exit(__doc__.split("\n\n")[1])
    try:
        check(sys.argv[1:])
    except (Failure, OSError, ValueError) as error:
        print("power cut check: %s" % error, file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
