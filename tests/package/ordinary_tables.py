"""Ordinary tables for the detection tests: seeded, written by Python's csv module.

`table(rng)` draws a well-formed table (width 1 to 12, with or without a header, typed columns
of numbers, dates, times, ids, text with delimiters and quotes, phrases, emails and URLs);
`export(rng)` writes one with its dialect, and optionally a real preamble and ending around it.
"""

from __future__ import annotations

import csv
import io
import random
from typing import NamedTuple

WORDS = ["red", "blue", "lamp", "desk", "chair", "cable", "bolt", "nut", "paper", "glass",
         "green", "large", "small", "steel", "wood", "Köln", "crème", "naïve", "Łódź", "size"]
FIRST = ["Anna", "Bob", "Chloé", "Dmitri", "Emre", "Fatima", "Günter", "Hana", "Ivo", "Jules"]
LAST = ["Smith", "Müller", "Rossi", "Dubois", "Kowalski", "Tanaka", "Silva", "Novak"]


def _phrase(rng: random.Random, lo: int, hi: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(lo, hi)))


# name: (header names, value maker)
KINDS = {
    "id": (["id", "nr", "order_id"], lambda r, i: str(1000 + i)),
    "code": (["sku", "code", "ref"], lambda r, i: f"{r.choice('ABCDEFGH')}{r.choice('KLMN')}-"
                                                  f"{r.randint(1000, 9999)}"),
    "int": (["qty", "count", "units"], lambda r, i: str(r.randint(0, 500))),
    "money": (["amount", "price", "total"], lambda r, i: f"{r.uniform(0, 9999):.2f}"),
    "thousands": (["revenue", "budget"], lambda r, i: f"{r.uniform(0, 2e6):,.2f}"),
    "date": (["date", "created", "due"], lambda r, i: f"2024-{r.randint(1, 12):02d}-"
                                                      f"{r.randint(1, 28):02d}"),
    "eu_date": (["datum", "day"], lambda r, i: f"{r.randint(1, 28):02d}/{r.randint(1, 12):02d}/"
                                               f"{r.randint(2000, 2024)}"),
    "datetime": (["created_at", "updated_at"], lambda r, i: f"2020-12-{r.randint(1, 30):02d} "
                 f"{r.randint(0, 23):02d}:{r.randint(0, 59):02d}:{r.randint(0, 59):02d}"),
    "time": (["time", "start"], lambda r, i: f"{r.randint(0, 23):02d}:{r.randint(0, 59):02d}"),
    "name": (["name", "customer", "contact"],
             lambda r, i: f"{r.choice(FIRST)} {r.choice(LAST)}"),
    "word": (["city", "color", "status"], lambda r, i: r.choice(WORDS)),
    "text": (["comment", "description", "note"],
             lambda r, i: r.choice([_phrase(r, 2, 9), _phrase(r, 1, 3) + ", " + _phrase(r, 1, 4),
                                    f'the "{r.choice(WORDS)}" one', f"{r.randint(2, 60)}\" pipe, "
                                    + r.choice(WORDS), _phrase(r, 1, 2) + "; " + r.choice(WORDS),
                                    r.choice(WORDS) + "\t" + r.choice(WORDS),
                                    "it's " + r.choice(WORDS), ""])),
    "phrase": (["phrase", "title", "product name"], lambda r, i: _phrase(r, 1, 6)),
    "email": (["email", "mail"], lambda r, i: f"{r.choice(FIRST).lower()}{i}@example.com"),
    "url": (["url", "link", "homepage"],
            lambda r, i: f"https://example.org/{r.choice(WORDS)}/{i}?a=1&b={r.randint(1, 9)}"),
    "flag": (["active", "paid"], lambda r, i: r.choice(["true", "false", "0", "1"])),
}


class Table(NamedTuple):
    header: list[str] | None
    rows: list[list[str]]

    @property
    def records(self) -> list[list[str]]:
        return ([self.header] if self.header else []) + self.rows


def table(rng: random.Random, width: int | None = None, kinds: list[str] | None = None) -> Table:
    width = width or rng.choice([1, 1, 2, 3, 4, 5, 6, 7, 8, 10, 12])
    kinds = kinds or [rng.choice(sorted(KINDS)) for _ in range(width)]
    count = rng.choice([1, 2, 3, rng.randint(4, 15), rng.randint(15, 60), rng.randint(15, 60)])
    rows = [[KINDS[k][1](rng, i) for k in kinds] for i in range(count)]
    header = None
    if rng.random() < 0.75:
        names: list[str] = []
        for k in kinds:
            options = [n for n in KINDS[k][0] if n not in names] or [f"{k}_{len(names)}"]
            names.append(rng.choice(options))
        header = names
    return Table(header, rows)


def write(records: list[list[str]], delimiter: str, eol: str = "\n") -> str:
    out = io.StringIO()
    csv.writer(out, delimiter=delimiter, lineterminator=eol).writerows(records)
    return out.getvalue()


class Export(NamedTuple):
    text: str
    table: Table
    delimiter: str
    preamble: int  # lines before the table
    ending: int  # lines after it


PREAMBLES = [
    ["Sales report"],
    ["Sales report", "Exported on 2024-05-01 10:22 by finance", ""],
    ["Customer list as of 2024-05-01", ""],
    ["# exported by tool 4.2", "# do not edit"],
]
ENDINGS = [
    ["Total{d}{d}{d}1234.50"],
    ["", "Note: amounts in EUR, VAT excluded"],
    ["", "Exported by the ERP system on 2024-05-01"],
    ["Total: 42 rows"],
]


def export(rng: random.Random, polluted: bool = False) -> Export:
    """A table written by the csv module; with `polluted`, a title or comment lines above it (a
    header under them) and a total or notes below."""
    d = rng.choice([",", ";", "\t", "|"])
    eol = rng.choice(["\n", "\r\n"])
    t = table(rng)
    pre: list[str] = []
    post: list[str] = []
    if polluted:
        t = table(rng, width=rng.randint(3, 10))
        if t.header is None:
            names = [f"col {j}" if j % 2 else f"field{j}" for j in range(len(t.rows[0]))]
            t = Table(names, t.rows)
        if len(t.rows) < 3:
            t = Table(t.header, t.rows * 3)
        pre = rng.choice(PREAMBLES)
        post = [e.replace("{d}", d) for e in rng.choice(ENDINGS)]
        if rng.random() < 0.3:
            pre = []
        elif rng.random() < 0.3:
            post = []
    body = write(t.records, d, eol)
    text = "".join(line + eol for line in pre) + body + "".join(line + eol for line in post)
    return Export(text, t, d, len(pre), len(post))


def sparse(rng: random.Random) -> tuple[str, list[list[str]]]:
    """A table with rows of one filled cell at its start, middle or end and perhaps a blank line
    inside (text-only tables too): the text and the records that hold something."""
    d = rng.choice([",", ";", "\t", "|"])
    kinds = None
    if rng.random() < 0.4:
        kinds = [rng.choice(["name", "word", "phrase", "text", "email", "url", "code"])
                 for _ in range(rng.randint(2, 8))]
    t = table(rng, width=len(kinds) if kinds else rng.randint(2, 9), kinds=kinds)
    rows = [list(r) for r in t.rows]
    if len(rows) >= 3:
        for k in rng.sample([0, len(rows) - 1, len(rows) // 2], rng.randint(1, 3)):
            keep = rng.randint(0, 1)
            rows[k] = [v if j == keep else "" for j, v in enumerate(rows[k])]
    records = ([t.header] if t.header else []) + rows
    lines = write(records, d).splitlines()
    if len(lines) > 4 and rng.random() < 0.5:
        lines.insert(rng.randint(2, len(lines) - 1), "")
    return "\n".join(lines) + "\n", [r for r in records if any(r)]
