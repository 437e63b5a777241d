"""Writes the layout cases beside this script and their expected facts to expected.json.

Run it again after changing a case: the output is the same on every machine (seeded). Each
case imitates one kind of export; the facts are what detect must find in it.
"""

from __future__ import annotations

import json
import random
from pathlib import Path

HERE = Path(__file__).parent
FIRST = ["Anna", "Bob", "Chloé", "Dmitri", "Emre", "Fatima", "Günter", "Hana", "Ivo", "Jules"]
LAST = ["Smith", "Müller", "Rossi", "Dubois", "Kowalski", "Tanaka", "Silva", "Novak"]
CITIES = ["Paris", "Berlin", "Lyon", "Köln", "Porto", "Oslo", "Gent", "Brno"]
PRODUCTS = ["Widget", "Gadget", "Bolt M8", "Nut M8", "Cable 2m", "Lamp", "Desk", "Chair"]
WORDS = ["late", "delivery", "paid", "partial", "returned", "check", "invoice", "urgent"]


class Doc:
    """Physical lines in order, counting embedded line breaks, so facts name real lines."""

    def __init__(self, eol: str = "\n") -> None:
        self.eol, self.parts, self.lines = eol, [], 0

    def add(self, line: str) -> int:
        self.parts.append(line + self.eol)
        first = self.lines + 1
        self.lines += 1 + line.count("\n")
        return first

    @property
    def text(self) -> str:
        return "".join(self.parts)


def field(value: str, d: str, q: str, force: bool = False) -> str:
    if force or d in value or q in value or "\n" in value or value.startswith(" "):
        return q + value.replace(q, q + q) + q
    return value


def row(values: list[str], d: str, q: str = '"', force: bool = False, sep: str | None = None):
    return (sep or d).join(field(v, d, q, force) for v in values)


def money(rng: random.Random, eu: bool = False) -> str:
    s = f"{rng.uniform(1, 9999):.2f}"
    return s.replace(".", ",") if eu else s


def sales(rng: random.Random, n: int, eu: bool = False, spaces: bool = True):
    header = ["id", "date", "customer", "city", "product", "qty", "amount"]
    rows = []
    for i in range(n):
        day = f"{rng.randint(1, 28):02d}.{rng.randint(1, 12):02d}.2024" if eu else \
            f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
        name = rng.choice(FIRST) + (" " + rng.choice(LAST) if spaces else "")
        rows.append([str(1000 + i), day, name, rng.choice(CITIES),
                     rng.choice(PRODUCTS if spaces else WORDS), str(rng.randint(1, 50)),
                     money(rng, eu)])
    return header, rows


CASES: dict[str, tuple[bytes, dict]] = {}


def case(name: str, doc: Doc, facts: dict, encoding: str = "utf-8") -> None:
    base = {"delimiter": ",", "quote_char": '"', "escape_char": None,
            "skip_initial_space": False, "skip_rows": 0, "header_lines": 1,
            "table_end": None, "second_table_line": None}
    if encoding != "utf-8":
        base["encoding"] = encoding
    CASES[name] = (doc.text.encode(encoding), {**base, **facts})


def plain_delimiters(rng: random.Random) -> None:
    for label, d, sep, spaces in [("comma", ",", None, True), ("semicolon", ";", None, True),
                                  ("tab", "\t", None, True), ("bar", "|", None, True),
                                  ("colon", ":", None, True), ("caret", "^", None, True),
                                  ("tilde", "~", None, True), ("space", " ", None, False),
                                  ("comma_space", ",", ", ", True)]:
        doc = Doc()
        header, rows = sales(rng, rng.randint(15, 40), spaces=spaces)
        for r in [header] + rows:
            doc.add(row(r, d, sep=sep))
        case(f"plain_{label}", doc, {"delimiter": d, "skip_initial_space": sep is not None,
                                     "columns": 7})


def spreadsheets(rng: random.Random) -> None:
    for i in range(6):
        d, eu, pad = [(",", False, False), (";", True, False), (",", False, True),
                      (";", True, True), ("\t", False, False), (",", False, True)][i]
        doc = Doc("\r\n" if i % 2 else "\n")
        header, rows = sales(rng, rng.randint(8, 30), eu=eu)
        filler = d * (len(header) - 1) if pad else ""
        doc.add("Quarterly sales report" + filler)
        if i >= 2:
            doc.add(f"Exported 2024-04-0{i} 10:2{i} by finance" + filler)
        for _ in range(1 + i % 2):
            doc.add(filler)
        skip = doc.lines
        for r in [header] + rows:
            doc.add(row(r, d))
        case(f"spreadsheet_title_{i}", doc, {"delimiter": d, "skip_rows": skip, "columns": 7})


def erp_exports(rng: random.Random) -> None:
    for i in range(6):
        d, eu = [(";", True), (",", False), ("\t", False), (";", True), ("|", False),
                 (",", False)][i]
        doc = Doc()
        if i != 1:
            doc.add(row(["Company", "ACME GmbH" if eu else "ACME Ltd"], d))
            doc.add(row(["Report", "Open items"], d))
            doc.add(row(["Period", "Q1 2024"], d))
            doc.add("")
        skip = doc.lines
        header, rows = sales(rng, rng.randint(10, 25), eu=eu)
        for r in [header] + rows:
            last = doc.add(row(r, d))
        total = ["Total"] + [""] * 5 + [money(rng, eu)]
        if i == 3:
            total = ["", "", "", "", "Grand total", "", money(rng, eu)]
        doc.add(row(total, d))
        if i % 2 == 0:
            doc.add("")
            doc.add(f"Printed by admin on 2024-04-0{i + 1}")
        case(f"erp_total_{i}", doc, {"delimiter": d, "skip_rows": skip, "columns": 7,
                                     "table_end": last})


def instruments(rng: random.Random) -> None:
    for i in range(6):
        d = ["\t", ";", ",", "\t", " ", "\t"][i]
        doc = Doc("\r\n" if i == 3 else "\n")
        meta = [f"Instrument: LOGGER-{100 + i}", f"Serial: SN{rng.randint(10000, 99999)}",
                "Sample interval: 0.5 s", "Started: 2024-02-11 08:00:00"][: 2 + i % 3]
        for m in meta:
            doc.add(("# " if i % 2 else "") + m)
        if i < 3 or d == " ":
            doc.add("")
        skip = doc.lines
        names = ["Time", "Temperature", "Pressure", "Humidity"]
        units = [["s", "°C", "kPa", "%"], ["(s)", "(degC)", "(kPa)", "(%RH)"],
                 ["[s]", "[K]", "[bar]", ""]][i % 3]
        doc.add(d.join(names))
        doc.add(d.join(units))
        lines = 2
        if i == 5:
            doc.add(d.join(["", "avg", "avg", "max"]))
            lines = 3
        for k in range(rng.randint(20, 60)):
            doc.add(d.join([f"{k * 0.5:.1f}", f"{rng.uniform(18, 25):.2f}",
                            f"{rng.uniform(99, 103):.3f}", f"{rng.uniform(30, 60):.1f}"]))
        case(f"instrument_{i}", doc, {"delimiter": d, "skip_rows": skip, "header_lines": lines,
                                      "columns": 4})


def two_tables(rng: random.Random) -> None:
    for i in range(5):
        d = [",", ";", "\t", ",", "|"][i]
        doc = Doc()
        if i >= 3:
            doc.add("Inventory and orders")
            doc.add("")
        skip = doc.lines
        doc.add(d.join(["sku", "item", "stock"]))
        for k in range(rng.randint(5, 15)):
            last = doc.add(d.join([f"SKU-{k:04d}", rng.choice(PRODUCTS), str(rng.randint(0, 99))]))
        for _ in range(1 + i % 2):
            doc.add("")
        header, rows = sales(rng, rng.randint(5, 20))
        second = doc.add(row(header[:5 + i % 3], d))
        for r in rows:
            doc.add(row(r[:5 + i % 3], d))
        case(f"two_tables_{i}", doc, {"delimiter": d, "skip_rows": skip, "columns": 3,
                                      "table_end": last, "second_table_line": second})


def quoting(rng: random.Random) -> None:
    for i in range(3):
        d = [",", ";", "|"][i]
        doc = Doc()
        doc.add(row(["id", "name", "remark", "amount"], d, "'", force=True))
        for k in range(rng.randint(8, 20)):
            remark = rng.choice(WORDS) + d + " " + rng.choice(WORDS)
            doc.add(row([str(k + 1), rng.choice(FIRST), remark, money(rng)], d, "'",
                        force=k % 2 == 0))
        case(f"apostrophe_quotes_{i}", doc, {"delimiter": d, "quote_char": "'", "columns": 4})
    for i in range(3):
        doc = Doc("\r\n" if i == 1 else "\n")
        doc.add("\t".join(["ticket", "opened", "summary", "priority"]))
        for k in range(rng.randint(10, 25)):
            summary = rng.choice(WORDS) + ("\t" if k % 3 == 0 else " ") + rng.choice(WORDS)
            if k % 5 == 1 and i != 2:
                summary += "\nsee attachment"
            doc.add(row([f"T-{k}", "2024-03-0%d" % (k % 9 + 1), summary,
                         str(k % 4)], "\t", force=i == 2))
        case(f"tab_quoted_{i}", doc, {"delimiter": "\t", "columns": 4})


def dumps(rng: random.Random) -> None:
    for i in range(4):
        doc = Doc()
        d = [",", ",", "\t", ";"][i]
        doc.add(d.join(["customer_id", "full_name", "email", "comment", "balance"]))
        for k in range(rng.randint(12, 30)):
            name = rng.choice(FIRST) + " " + rng.choice(LAST)
            said = rng.choice(WORDS)
            comment = ('"he said \\"' + said + '\\" twice"') if i in (0, 2) and k % 3 == 0 else \
                field(f'she said "{said}"', d, '"') if k % 4 == 0 else "\\N" if k % 5 == 0 \
                else said
            doc.add(d.join([str(k + 1), field(name, d, '"', force=i != 2),
                            f"{name.split()[0].lower()}@example.com", comment,
                            money(rng)]))
        if i == 3:
            last = doc.lines
            doc.add(f"({doc.lines - 1} rows)")
        case(f"db_dump_{i}", doc, {"delimiter": d, "escape_char": "\\" if i in (0, 2) else None,
                                   "columns": 5, "table_end": last if i == 3 else None})


def european(rng: random.Random) -> None:
    for i in range(3):
        doc = Doc("\r\n")
        header, rows = sales(rng, rng.randint(10, 30), eu=True)
        header = ["Nr", "Datum", "Kunde", "Ort", "Artikel", "Menge", "Betrag €"]
        for r in [header] + rows:
            doc.add(row(r, ";"))
        case(f"eu_decimal_comma_{i}", doc, {"delimiter": ";", "columns": 7},
             encoding=["utf-8", "cp1252", "utf-8-sig"][i])


def notes_and_small(rng: random.Random) -> None:
    for i in range(2):
        doc = Doc()
        header, rows = sales(rng, rng.randint(10, 20))
        for r in [header] + rows:
            last = doc.add(row(r, ","))
        doc.add(["Note: amounts in EUR, VAT excluded", "Source: CRM export"][i])
        case(f"notes_footer_{i}", doc, {"columns": 7, "table_end": last})
    for name, text, facts in [
        ("header_only_comma", "id,name,city,amount\n", {"columns": 4}),
        ("header_only_semicolon", "Nr;Name;Ort\r\n", {"delimiter": ";", "columns": 3}),
        ("tiny_header_and_row", "a,b\n1,2\n", {"columns": 2}),
        ("tiny_numbers_bar", "1|2|3\n4|5|6\n", {"delimiter": "|", "columns": 3,
                                                 "header_lines": 0}),
        ("tiny_single_line_tab", "name\tage", {"delimiter": "\t", "columns": 2}),
        ("no_header_numbers", "".join(f"{k},{k * 3},{k * 0.5}\n" for k in range(30)),
         {"columns": 3, "header_lines": 0}),
    ]:
        doc = Doc()
        doc.parts.append(text)
        case(name, doc, facts)
    doc = Doc("\r\n")
    header, rows = sales(rng, 25)
    for r in [header] + rows:
        doc.add(row(r, "\t"))
    case("utf16_tab_bom", doc, {"delimiter": "\t", "columns": 7}, encoding="utf-16")


def hand_written() -> None:
    """Single files for shapes the families above do not cover."""
    for name, text, facts in [
        ("title_without_blank", "Customer list as of 2024-05-01\nid,name,city\n1,Anna,Paris\n"
         "2,Bob,Lyon\n3,Chloé,Gent\n", {"skip_rows": 1, "columns": 3}),
        ("years_in_header", "Region;2021;2022;2023\nNorth;1,5;2,5;3,1\nSouth;3,0;4,1;4,4\n"
         "East;1,0;2,0;2,2\nWest;0,7;0,9;1,3\n", {"delimiter": ";", "columns": 4}),
        ("pivot_empty_corner", ",Q1,Q2,Q3\nNorth,10,12,9\nSouth,7,8,11\nEast,3,4,5\n",
         {"columns": 4}),
        ("all_quoted_dump", '"id","name","joined"\n"1","Anna Smith","2020-01-05"\n'
         '"2","Bob Müller","2021-07-30"\n"3","Chloé Dubois","2022-11-11"\n', {"columns": 3}),
        ("semicolon_with_commas", "Kunde;Adresse;Betrag\nAnna;Hauptstr. 5, Köln;12,50\n"
         "Bob;Ring 2, Bonn;7,00\nCy;Weg 9, Gent;3,10\nDora;Platz 1, Brno;8,80\n",
         {"delimiter": ";", "columns": 3}),
        ("passwd_colon", "root:x:0:0:root:/root:/bin/bash\ndaemon:x:1:1:daemon:/usr/sbin:"
         "/usr/sbin/nologin\nbin:x:2:2:bin:/bin:/usr/sbin/nologin\nsys:x:3:3:sys:/dev:"
         "/usr/sbin/nologin\n", {"delimiter": ":", "columns": 7, "header_lines": 0}),
        ("old_mac_cr", "id,value\r1,3.5\r2,4.5\r3,5.5\r", {"columns": 2}),
        ("trailing_blank_lines", "id,name\n1,Anna\n2,Bob\n\n\n\n", {"columns": 2}),
        ("single_column_emails", "email\nanna@example.com\nbob@example.com\n"
         "cy@example.org\n", {"columns": 1}),
        # The header again after a blank line: exports put one after the other, no second table.
        ("same_width_second_table", "id,name,score\n1,Anna,3\n2,Bob,5\n3,Cy,4\n\n"
         "id,name,score\n7,Dora,1\n8,Emre,2\n", {"columns": 3}),
        ("total_and_average", "store|sales\nParis|120\nLyon|80\nGent|95\nTotal|295\n"
         "Average|98.3\n", {"delimiter": "|", "columns": 2, "table_end": 4}),
        ("key_values_then_table", "Report;Open items\nDate;01.02.2024\nNr;Kunde;Betrag;Notiz\n"
         '1;Anna;12,50;"a;b\nc"\n2;Bob;3,00;x\n3;Cy;4,10;y\n',
         {"delimiter": ";", "skip_rows": 2, "columns": 4}),
        ("aligned_space_columns", "   time    temp   press\n    0.0   21.50  101.30\n"
         "    0.5   21.70  101.20\n   10.0   21.90  101.00\n  100.5   22.00   99.80\n",
         {"delimiter": " ", "skip_initial_space": True, "columns": 3}),
        ("excel_padding_both_ends", "Title,,,\n,,,\nid,name,qty,price\n1,Anna,2,3.50\n"
         "2,Bob,1,2.00\n3,Cy,5,1.25\n,,,\n,,,\n", {"skip_rows": 2, "columns": 4}),
        ("header_trailing_tab", "a\tb\tc\t\n1\t2\t3\n4\t5\t6\n7\t8\t9\n",
         {"delimiter": "\t", "columns": 3}),
        ("hash_comments", "# generated by tool\n# version 2\nx,y\n1,2\n3,4\n5,6\n",
         {"skip_rows": 2, "columns": 2}),
        ("excel_sep_line", "sep=;\r\nNr;Name;Betrag\r\n1;Anna;12,50\r\n2;Bob;3,00\r\n",
         {"delimiter": ";", "skip_rows": 1, "columns": 3}),
        ("sparse_cells", "id,a,b,c,d\n1,,x,,\n2,5,,,\n3,,,7,\n4,1,2,,\n5,,,,9\n",
         {"columns": 5}),
    ]:
        doc = Doc()
        doc.parts.append(text)
        case(name, doc, facts)


def one_column(rng: random.Random) -> None:
    """Lists of one value a line: no delimiter splits them, nothing is preamble or footer."""
    values = {
        "datetimes": ("created_at", lambda k: f"2020-12-{k % 28 + 1:02d} {k % 24:02d}:"
                                              f"{k % 60:02d}:{(k * 7) % 60:02d}"),
        "amounts": ("amount", lambda k: f"{rng.uniform(0, 20000):,.2f}"),
        "phrases": ("phrase", lambda k: " ".join(rng.choice(WORDS) for _ in range(1 + k % 5))),
        "products": ("product name", lambda k: rng.choice(PRODUCTS) + (", large" if k % 7 == 3
                                                                       else "")),
        "urls": ("url", lambda k: f"https://example.org/{rng.choice(WORDS)}/{k}?q=1"),
        "times": ("time", lambda k: f"{k % 24:02d}:{(k * 13) % 60:02d}"),
    }
    for i, (label, (name, value)) in enumerate(values.items()):
        doc = Doc("\r\n" if i % 2 else "\n")
        with_header = i != 5
        if with_header:
            doc.add(field(name, ",", '"', force=label == "amounts"))
        for k in range(rng.randint(4, 30)):  # commas in product names left unquoted
            v = value(k)
            doc.add(v if label == "products" else field(v, ",", '"', force=label == "amounts"))
        case(f"one_column_{label}", doc, {"delimiter": ";" if label == "products" else ",",
                                          "columns": 1, "header_lines": int(with_header)})


def quoted_fields(rng: random.Random) -> None:
    """Every field quoted, colons (times) inside the quotes only: the delimiter outside them
    decides, and a backslash escape only where the quotes need it."""
    for i, sep in enumerate(["\t\t", ",", ";", "|"]):
        doc = Doc()
        escaped = i == 3
        names = ["date", "time", "product", "price", "remark"]
        doc.add(sep.join(f'"{n}"' for n in names))
        for k in range(rng.randint(10, 25)):
            remark = rng.choice(WORDS) + (', "' + rng.choice(WORDS) + '"' if k % 4 == 0 else "")
            remark = remark.replace('"', '\\"' if escaped else '""')
            values = [f"{k % 28 + 1:02d}/01/2018", f"{k % 24:02d}:{(k * 7) % 60:02d}",
                      f"{rng.choice(PRODUCTS)}", money(rng), remark]
            doc.add(sep.join(f'"{v}"' for v in values))
        case(f"quoted_times_{i}", doc, {"delimiter": sep[0], "escape_char": "\\" if escaped
                                        else None, "columns": 9 if sep == "\t\t" else 5})


def short_headers_and_other_dialects(rng: random.Random) -> None:
    """A header one name short or naming a column with a delimiter in it; a row in another
    dialect after the header or at the end; key-value lines over a wide ragged table."""
    for i, d in enumerate([",", ";"]):
        doc = Doc()
        doc.add(d.join(["id", "name"]))
        for k in range(rng.randint(6, 15)):
            doc.add(d.join([str(k + 1), rng.choice(FIRST), str(rng.randint(1, 99))]))
        case(f"header_one_short_{i}", doc, {"delimiter": d, "columns": 3})
    doc = Doc()
    doc.add('id,"last, first",city')
    for k in range(rng.randint(6, 15)):
        doc.add(f'{k + 1},"{rng.choice(LAST)}, {rng.choice(FIRST)[0]}",{rng.choice(CITIES)}')
    case("header_quoted_delimiter", doc, {"columns": 3})
    for i, where in enumerate(["first", "last"]):
        for j, (d, q) in enumerate([(";", '"'), (",", "'")]):
            doc = Doc()
            header, rows = sales(rng, rng.randint(10, 25))
            doc.add(row(header, ",", force=True))
            k = 0 if where == "first" else len(rows) - 1
            for n, r in enumerate(rows):
                doc.add(row(r, d, q, force=q == "'") if n == k else row(r, ",", force=True))
            case(f"other_dialect_{where}_row_{j}", doc, {"columns": 7})
    doc = Doc()
    for key, value in [("Report", "Open items"), ("Date", "2024-02-01"), ("User", "admin")]:
        doc.add(f"{key}\t{value}")
    skip = doc.lines
    doc.add("\t".join(f"field {j}" for j in range(18)))
    for k in range(rng.randint(20, 40)):
        filled = 18 - rng.choice([0, 0, 2, 3, 5, 6])
        doc.add("\t".join([str(1000 + k)] + [str(rng.randint(0, 99)) for _ in range(filled - 1)]))
    case("key_values_ragged_wide", doc, {"delimiter": "\t", "skip_rows": skip, "columns": 18})


def multi_line_headers(rng: random.Random) -> None:
    """Names over two or three lines (words, units): one header, its names joined."""
    for i, lines in enumerate([[["sale", "unit", "quantity"], ["date", "price", ""]],
                               [["sale date", "unit price", "quantity"], ["dd/mm/yyyy", "EUR",
                                                                          "pcs"]],
                               [["sale", "unit", "quantity"], ["date", "price", ""],
                                ["dd/mm/yyyy", "EUR", "pcs"]]]):
        doc = Doc()
        for names in lines:
            doc.add(row(names, ",", force=True))
        for k in range(rng.randint(10, 30)):
            doc.add(row([f"{k % 28 + 1:02d}/03/2018", money(rng), str(rng.randint(1, 20))], ",",
                        force=True))
        joined = [" ".join(p for p in parts if p) for parts in zip(*lines)]
        case(f"header_lines_{i}", doc, {"columns": 3, "header_lines": len(lines),
                                        "header": joined})


def concatenated(rng: random.Random) -> None:
    """Exports put one after the other: the header again inside the table, with or without a
    blank line before it."""
    for i in range(2):
        doc = Doc()
        for part in range(3):
            if part and i:
                doc.add("")
            header, rows = sales(rng, rng.randint(5, 12))
            for r in [header] + rows:
                doc.add(row(r, ","))
        case(f"concatenated_{i}", doc, {"columns": 7})


def above_the_table() -> None:
    """What stands above the header: a padded title holding a comma is preamble; a wider row of
    values and a long run of lines of text are not."""
    for name, text, facts in [
        ("title_with_comma_padded", "Sales export,,,\nGenerated on 01/02/2018, 09:00 by ShopSys"
         ",,,\nid,name,qty,price\n1,Anna,2,3.50\n2,Bob,1,2.00\n3,Cy,5,1.25\n",
         {"skip_rows": 2, "columns": 4}),
        ("wider_row_above", "pedro;br;nl;1.72\nname;country\nmark;nl\ndiego;br\nana;pt\n",
         {"delimiter": ";", "columns": 2, "header_lines": 0}),
        ("many_lines_above", "".join(f"note {k} on the data\n" for k in range(8))
         + "id,name\n1,Anna\n2,Bob\n3,Cy\n", {"columns": 2}),
    ]:
        doc = Doc()
        doc.parts.append(text)
        case(name, doc, facts)


def main() -> None:
    rng = random.Random(13)
    for make in (plain_delimiters, spreadsheets, erp_exports, instruments, two_tables,
                 quoting, dumps, european, notes_and_small):
        make(rng)
    hand_written()
    rng = random.Random(17)
    for make in (one_column, quoted_fields, short_headers_and_other_dialects,
                 multi_line_headers, concatenated):
        make(rng)
    above_the_table()
    for old in HERE.glob("*.csv"):
        old.unlink()
    manifest = {}
    for name, (data, facts) in CASES.items():
        (HERE / f"{name}.csv").write_bytes(data)
        manifest[name] = facts
    (HERE / "expected.json").write_text(json.dumps(manifest, indent=1, ensure_ascii=False) + "\n")
    print(len(CASES), "cases")


if __name__ == "__main__":
    main()
