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
other queue, and answers once the files are written), or, with POWER_CUT_STRICT=1, before both
queues were seen empty at least POWER_CUT_IDLE_MS before the freeze.

Checks, always: every file whole; each database's IDs one run falling by one, no caller twice
in a database, every caller in the database of its type; every known-durable report in its
database once and in the download log or the outbox with the same ID; what an earlier check saw
in a database still there under the same ID, and in the download log or the outbox still in one
of them. POWER_CUT_STRICT=1 also fails (else counts) these findings: a database record not in
exactly one of the download log and the outbox files under the same ID, a record of those not in
its database, a (type, ID) ever naming two calls.
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
    if lines and lines[-1] == "":
        lines.pop()
    elif lines:
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
    """(databases, delivered): databases[type] maps caller to ID, in file order; delivered is a
    list of (place, type, ID, caller) for the download log's and the outbox files' records."""
    databases = {}
    for record_type, name in DATABASES.items():
        path = os.path.join(db_dir, name)
        records = read_sections(path, False) if os.path.exists(path) else []
        ids, callers = [], {}
        for record in records:
            caller = record["caller"]
            if type_of(caller, path) != record_type:
                raise Failure("%s: caller %s is a record of another type" % (path, caller))
            if caller in callers:
                raise Failure("%s: caller %s twice (IDs %s and %s)" %
                              (path, caller, callers[caller], record["ID"]))
            callers[caller] = int(record["ID"])
            ids.append(int(record["ID"]))
        for newer, older in zip(ids, ids[1:]):
            if older != newer - 1:
                raise Failure("%s: ID %d follows ID %d" % (path, older, newer))
        databases[record_type] = callers
    delivered = []
    places = [log_path] if os.path.exists(log_path) else []
    if os.path.isdir(outbox):
        places += [os.path.join(outbox, name) for name in sorted(os.listdir(outbox))
                   if name.startswith("stat-") and name.endswith(".log")]
    for place in places:
        for record in read_sections(place, True):
            caller = record["caller"]
            if type_of(caller, place) != int(record["type"]):
                raise Failure("%s: caller %s under type %s" % (place, caller, record["type"]))
            delivered.append((os.path.basename(place), int(record["type"]), int(record["ID"]),
                              caller))
    return databases, delivered


def read_ledger(ledger, name, cut):
    """The lines of the ledger file `name` written in round `cut`, split into words."""
    path = os.path.join(ledger, name)
    if not os.path.exists(path):
        return []
    with open(path) as handle:
        return [f for f in (line.split() for line in handle) if f and int(f[0]) == cut]


def known_durable(ledger, cut, strict, idle_seconds):
    """({caller: type} of the adds of round `cut` that the rules above call durable, the same
    of every add that returned 0 in that round)."""
    freeze = [float(f[1]) for f in read_ledger(ledger, "freezes", cut)]
    if not freeze:
        raise Failure("the ledger lacks the freeze of cut %d" % cut)
    freeze = freeze[0]
    horizon = max([float(f[2]) for f in read_ledger(ledger, "flushes", cut)
                   if f[1] == "0" and float(f[3]) < freeze], default=0.0)
    if strict:
        horizon = max([horizon] + [float(i[1]) for i in read_ledger(ledger, "idle", cut)
                                   if float(i[1]) <= freeze - idle_seconds])
    taken = [a for a in read_ledger(ledger, "adds", cut) if a[3] == "0"]
    return ({a[1]: int(a[2]) for a in taken if float(a[5]) < horizon},
            {a[1]: int(a[2]) for a in taken})


def check(args):
    cut, state_path, ledger, db_dir, log_path, outbox = args
    cut = int(cut)
    strict = os.environ.get("POWER_CUT_STRICT", "0") == "1"
    idle_seconds = int(os.environ.get("POWER_CUT_IDLE_MS", "100")) / 1000.0
    state = {"durable": {}, "databases": {}, "delivered": [], "names": {}, "taken": 0,
             "lost": 0, "findings": []}
    if os.path.exists(state_path):
        with open(state_path) as handle:
            state = json.load(handle)
    durable, taken = known_durable(ledger, cut, strict, idle_seconds)
    state["durable"].update(durable)
    databases, delivered = read_storage(db_dir, log_path, outbox)
    lost = [c for c, t in taken.items() if c not in databases[t]]
    state["taken"] += len(taken)
    state["lost"] += len(lost)

    places = {}
    for place, record_type, number, caller in delivered:
        places.setdefault(caller, []).append((place, record_type, number))
    errors = baseline_errors(state, databases, places)
    findings = strict_findings(databases, places, state["names"])
    missing = len([e for e in errors if e.startswith("durable report") and "is not in" in e])
    if strict:
        errors += findings
    if errors:
        raise Failure("%d faults after cut %d, %d of them known-durable reports missing from "
                      "their database (of %d reports taken in that round, %d lost):\n  %s" %
                      (len(errors), cut, missing, len(taken), len(lost), "\n  ".join(errors[:8])))
    fresh = sorted(set(findings).difference(state["findings"]))
    state["findings"] = sorted(set(state["findings"]).union(findings))
    state["databases"] = {str(t): c for t, c in databases.items()}
    state["delivered"] = sorted(places)
    with open(state_path, "w") as handle:
        json.dump(state, handle)
    files = len({place for place, _, _, _ in delivered})
    print("cut %d: %d of %d reports taken known durable, all on storage; %d taken lost here, "
          "%d in all; databases %s; %d records in %d delivery files; %d strict findings now, "
          "%d in all%s" %
          (cut, len(state["durable"]), state["taken"], len(lost), state["lost"],
           "/".join(str(len(databases[t])) for t in sorted(databases)), len(delivered), files,
           len(findings), len(state["findings"]), "" if strict else " (not failed)"))
    for finding in fresh[:3]:
        print("  new: %s" % finding)


def baseline_errors(state, databases, places):
    """What must hold in either mode, as messages: the known-durable reports on storage once,
    under one ID, and what an earlier check saw still there."""
    errors = []
    for caller, record_type in sorted(state["durable"].items()):
        name = DATABASES[record_type]
        if caller not in databases[record_type]:
            errors.append("durable report %s is not in %s" % (caller, name))
            continue
        if caller not in places:
            errors.append("durable report %s is neither in the download log nor in the outbox"
                          % caller)
        number = databases[record_type][caller]
        for place, _, delivered_number in places.get(caller, []):
            if delivered_number != number:
                errors.append("durable report %s is ID %d in %s but ID %d in %s" %
                              (caller, number, name, delivered_number, place))
    for record_type, callers in state["databases"].items():
        for caller, number in callers.items():
            now = databases[int(record_type)].get(caller)
            if now != number:
                errors.append("report %s was ID %d in %s at the last check, now %s" %
                              (caller, number, DATABASES[int(record_type)], now))
    for caller in state["delivered"]:
        if caller not in places:
            errors.append("report %s left the download log and the outbox" % caller)
    return errors


def strict_findings(databases, places, names):
    """What a recorder that loses nothing it took also meets, beyond the flushed baseline, as
    messages: each record once in the download log or the outbox, the databases and those
    agreeing, (type, ID) never reused. `names` ("type:ID" to caller, over every check) is
    updated."""
    findings = []
    for caller, where in sorted(places.items()):
        record_type, number = where[0][1], where[0][2]
        if len(where) > 1:
            findings.append("report %s is in %s" % (caller, " and ".join(p for p, _, _ in where)))
        if databases[record_type].get(caller, number) != number:
            findings.append("report %s is ID %d in %s but ID %d in %s" %
                            (caller, databases[record_type][caller], DATABASES[record_type],
                             number, where[0][0]))
        elif caller not in databases[record_type]:
            findings.append("report %s is in %s but not in %s" %
                            (caller, where[0][0], DATABASES[record_type]))
    named = []  # (type, ID, caller, place) of every record on storage
    for record_type, callers in databases.items():
        for caller, number in callers.items():
            if caller not in places:
                findings.append("report %s is in %s but neither in the download log nor in "
                                "the outbox" % (caller, DATABASES[record_type]))
            named.append((record_type, number, caller, DATABASES[record_type]))
    named += [(w[0][1], w[0][2], caller, w[0][0]) for caller, w in places.items()]
    for record_type, number, caller, place in named:
        key = "%d:%d" % (record_type, number)
        if names.setdefault(key, caller) != caller:
            findings.append("type %d ID %d named report %s, now %s in %s" %
                            (record_type, number, names[key], caller, place))
    return findings


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
