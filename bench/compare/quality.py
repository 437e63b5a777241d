"""How much of the dirty file each tool's output keeps, record by record, against the truth file.

Every record of the truth file ends up in exactly one state:

- intact: an output row holds exactly the record's values;
- changed: an output row is the record, with different values (padded, merged, quotes read
  another way, line breaks or bad bytes rewritten, other records swallowed into a field);
- reported: not in the output, but the tool reported it (quorle_file's quarantine file, pandas'
  bad-line warnings);
- dropped: not in the output and not reported.

A changed record is further told apart as padded (the record's values, then empty fields only),
merged (the surplus values joined with commas into the last column, as quorle_file and the by-hand
script do) or otherwise changed. Output rows that are no record are counted as extra rows: empty
ones (a blank line written as a row of empty fields) apart from the rest (say, the tail of a record
that was split in two). Quarantine entries with no content (blank lines) are counted apart too.

Matching keeps to the order of the output, which every tool preserves. An output row is matched
to the first record still unmatched, or to one a little further on, that it equals; failing that,
to the first of them it resembles: at least half of the record's non-empty values, and at least
two, are among the row's values (a multiset intersection, so a shifted or merged row still
matches). Candidates are the next three records and every record ahead whose first value (the
generator's running id, for most records) equals the row's first value; then the next 64 records
in order. Records passed over by a match are missing: reported if the tool reported a line of
theirs, otherwise dropped. A quarantined record's line is the line on which it ends; a record
holds the lines from its first line up to the next record's first line, so a reported line maps
to one record. A missing record whose non-empty values all appear, in order, in the raw content
of the next quarantined record also counts as reported (a record swallowed into another one).

Output files are read as UTF-8 with undecodable bytes kept as they are, so a tool that writes bad
bytes through gets its record counted as changed (the truth file holds U+FFFD there).
"""

import array
import bisect
import codecs
import collections
import csv

csv.field_size_limit(1 << 30)

INTACT, CHANGED, REPORTED, DROPPED = "intact", "changed", "reported", "dropped"
STATES = (INTACT, CHANGED, DROPPED, REPORTED)
AHEAD = 4096  # records kept in view beyond the first unmatched one
SCAN = 64  # records looked at one by one when no candidate matches
EXAMPLES = 3


def truth_records(path):
    """(index, first_line, damage, fields) for every record of the truth file."""
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.reader(f)
        next(reader)
        for record, first_line, damage, fields in reader:
            yield int(record), int(first_line), damage, fields.split("\x1f")


class TruthIndex:
    """What a pass over the truth file gives once for every tool: line starts and damage."""

    def __init__(self, path):
        self.path = path
        self.first_lines = array.array("q")
        self.damage = []
        names = {}
        for _, first_line, damage, _ in truth_records(path):
            self.first_lines.append(first_line)
            self.damage.append(names.setdefault(damage, damage))
        self.count = len(self.first_lines)

    def record_of_line(self, line):
        return bisect.bisect_right(self.first_lines, line) - 1


def resembles(row, fields):
    want = [v for v in fields if v]
    have = collections.Counter(v for v in row if v)
    if not want:
        return not have
    common = sum(min(n, have[v]) for v, n in collections.Counter(want).items())
    return common * 2 >= len(want) and common >= min(2, len(want))


def how_changed(row, fields):
    n = len(fields)
    if len(row) >= n and row[:n] == fields and not any(row[n:]):
        return "padded"
    if 1 < len(row) < n and row[:-1] == fields[: len(row) - 1]:
        if row[-1] == ",".join(fields[len(row) - 1 :]):
            return "merged"
    return "other"


def in_order(values, text):
    at = 0
    for v in values:
        at = text.find(v, at)
        if at < 0:
            return False
        at += len(v)
    return True


def valid_utf8(path):
    decoder = codecs.getincrementaldecoder("utf-8")()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            try:
                decoder.decode(chunk)
            except UnicodeDecodeError:
                return False
    try:
        decoder.decode(b"", final=True)
    except UnicodeDecodeError:
        return False
    return True


class Tally:
    def __init__(self):
        self.counts = collections.Counter()
        self.by_damage = collections.defaultdict(collections.Counter)
        self.examples = collections.defaultdict(list)  # (state, damage) -> examples
        self.changed = collections.Counter()  # padded, merged, other
        self.extra = 0
        self.extra_empty = 0
        self.extra_examples = []
        self.blank_quarantined = 0
        self.swallowed = 0  # reported because found inside a quarantined record
        self.reported_but_written = 0  # a reported line's record is in the output all the same

    def add(self, state, damage, index, fields=None, row=None):
        self.counts[state] += 1
        self.by_damage[damage][state] += 1
        if state == INTACT:
            return
        if state == CHANGED:
            self.changed[how_changed(row, fields)] += 1
        ex = self.examples[(state, damage)]
        if len(ex) < EXAMPLES:
            ex.append({"record": index, "truth": fields, "output": row})

    def as_dict(self):
        return {
            "counts": {s: self.counts[s] for s in STATES},
            "by_damage": {d: dict(c) for d, c in sorted(self.by_damage.items())},
            "examples": {f"{s}|{d}": ex for (s, d), ex in sorted(self.examples.items())},
            "changed_how": {k: self.changed[k] for k in ("padded", "merged", "other")},
            "extra_rows": self.extra,
            "extra_empty_rows": self.extra_empty,
            "blank_lines_quarantined": self.blank_quarantined,
            "extra_examples": self.extra_examples,
            "swallowed_into_quarantine": self.swallowed,
            "reported_but_written": self.reported_but_written,
        }


def read_quarantine(path):
    """(line, raw_content) of every quarantined record, in file order."""
    entries = []
    with open(path, newline="", encoding="utf-8", errors="surrogateescape") as f:
        reader = csv.reader(f)
        next(reader, None)
        for row in reader:
            if len(row) >= 3 and row[0].isdigit():
                entries.append((int(row[0]), row[2]))
    return entries


def assess(truth, output, reported_lines=(), quarantine=None):
    """Tallies `output` (a CSV file) against `truth` (a TruthIndex).

    reported_lines: lines the tool reported as bad; quarantine: quorle_file's quarantine file.
    """
    tally = Tally()
    entries = []
    for line, raw in read_quarantine(quarantine) if quarantine else ():
        if raw:
            entries.append((line, raw))
        else:
            tally.blank_quarantined += 1
    reported = {truth.record_of_line(line) for line in reported_lines}
    reported |= {truth.record_of_line(line) for line, _ in entries}
    entry_lines = [line for line, _ in entries]

    records = truth_records(truth.path)
    window = {}  # index -> fields, for lo <= index < hi
    by_key = collections.defaultdict(collections.deque)
    lo = hi = 0
    exhausted = False

    def fill():
        nonlocal hi, exhausted
        while not exhausted and hi < lo + AHEAD:
            try:
                index, _, _, fields = next(records)
            except StopIteration:
                exhausted = True
                return
            window[index] = fields
            by_key[fields[0]].append(index)
            hi = index + 1

    def evict(index):
        fields = window.pop(index)
        keyed = by_key[fields[0]]
        keyed.popleft()
        if not keyed:
            del by_key[fields[0]]
        return fields

    def missing(index):
        fields = evict(index)
        damage = truth.damage[index]
        if index in reported:
            tally.add(REPORTED, damage, index, fields)
            return
        if entries:
            at = bisect.bisect_left(entry_lines, truth.first_lines[index])
            values = [v for v in fields if v]
            if at < len(entries) and values and in_order(values, entries[at][1]):
                tally.swallowed += 1
                tally.add(REPORTED, damage, index, fields)
                return
        tally.add(DROPPED, damage, index, fields)

    with open(output, newline="", encoding="utf-8", errors="surrogateescape") as f:
        for row in csv.reader(f):
            fill()
            near = range(lo, min(lo + 3, hi))
            keyed = by_key.get(row[0]) if row else None
            candidates = list(near)
            if keyed:
                candidates += [j for j in keyed if j >= lo + 3]
            found = None
            for j in candidates:
                if window[j] == row:
                    found, state = j, INTACT
                    break
            if found is None:
                for j in candidates:
                    if resembles(row, window[j]):
                        found, state = j, CHANGED
                        break
            if found is None:
                for j in range(lo + 3, min(lo + SCAN, hi)):
                    if resembles(row, window[j]):
                        found, state = j, CHANGED
                        break
            if found is None:
                tally.extra += 1
                if not any(row):
                    tally.extra_empty += 1
                elif len(tally.extra_examples) < EXAMPLES:
                    tally.extra_examples.append(row)
                continue
            for j in range(lo, found):
                missing(j)
            fields = evict(found)
            if found in reported:
                tally.reported_but_written += 1
            tally.add(state, truth.damage[found], found, fields, row)
            lo = found + 1
        while True:
            fill()
            if lo >= hi:
                break
            missing(lo)
            lo += 1
    result = tally.as_dict()
    result["valid_utf8"] = valid_utf8(output)
    result["records"] = truth.count
    return result
