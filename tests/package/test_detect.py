"""detect(): the layout table, large files read at both ends, random input, the Dialect record,
and agreement with the backend on plain files."""

from __future__ import annotations

import csv
import dataclasses
import io
import json
import pickle
import random
import shutil
import subprocess
from pathlib import Path

import pytest
from conftest_detect import load, load_path

det = load("_detect")
layouts = load_path(Path(__file__).parent / "layouts" / "make_layouts.py")
Dialect = load("_dialect").Dialect
LAYOUTS = Path(__file__).parent / "layouts"
MANIFEST = json.loads((LAYOUTS / "expected.json").read_text(encoding="utf-8"))
DELIMITERS = {",", ";", "\t", "|", " ", ":", "^", "~"}


class TestLayouts:
    def test_every_case_reads_as_expected(self) -> None:
        failures = {}
        for name, facts in MANIFEST.items():
            found = json.loads(json.dumps(det.detect(LAYOUTS / f"{name}.csv").to_dict()))
            wrong = {k: (v, found[k]) for k, v in facts.items() if found[k] != v}
            if wrong:
                failures[name] = wrong  # fact: (expected, found)
        rate = 1 - len(failures) / len(MANIFEST)
        print(f"\nlayout cases: {len(MANIFEST) - len(failures)}/{len(MANIFEST)} ({rate:.0%})")
        assert not failures

    @pytest.mark.parametrize("change", [
        lambda b: b.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"),
        lambda b: b"\xef\xbb\xbf" + b,
        lambda b: b + b"\n\n  \n",
    ], ids=["crlf", "bom", "trailing_blank_lines"])
    def test_facts_survive_line_ends_a_mark_and_trailing_blanks(self, change) -> None:
        for name, facts in MANIFEST.items():
            if "encoding" in facts:
                continue
            found = json.loads(json.dumps(det.detect_sample(
                change((LAYOUTS / f"{name}.csv").read_bytes())).to_dict()))
            assert {k: found[k] for k in facts if k != "encoding"} == {
                k: v for k, v in facts.items() if k != "encoding"}, name

    def test_manifest_and_files_match(self) -> None:
        assert {p.stem for p in LAYOUTS.glob("*.csv")} == set(MANIFEST)


def big_file(path: Path, rows: int, ending: str, encoding: str = "utf-8") -> tuple[int, str]:
    """A preamble, a header, `rows` rows and `ending`; returns (last table line, text)."""
    lines = ["Stock report", "", "sku;item;count"]
    lines += [f"SKU-{k};Bolt M{k % 20};{k % 97}" for k in range(rows)]
    last = len(lines)
    text = "\n".join(lines + ending.splitlines()) + "\n"
    path.write_bytes(text.encode(encoding))
    return last, text


class TestLargeFiles:
    @pytest.mark.parametrize("encoding", ["utf-8", "utf-16", "utf-32"])
    def test_footer_seen_in_the_tail_counts_from_the_end(self, tmp_path, encoding) -> None:
        path = tmp_path / "big.csv"
        last, text = big_file(path, 20_000, "Total;;977000\n\nPrinted 2024-05-01", encoding)
        found = det.detect(path)
        assert (found.skip_rows, found.header_lines, found.columns) == (2, 1, 3)
        assert found.table_end == -4  # three lines follow the table: Total, blank, note
        assert found.resolve(text.count("\n")).table_end == last

    def test_second_table_in_the_tail(self, tmp_path) -> None:
        _, text = big_file(tmp_path / "big.csv", 20_000, "\nregion;total\nNorth;1\nSouth;2")
        found = det.detect(tmp_path / "big.csv").resolve(text.count("\n"))
        assert (found.table_end, found.second_table_line) == (20_003, 20_005)

    def test_reads_no_more_than_the_samples(self, tmp_path, monkeypatch) -> None:
        big_file(tmp_path / "big.csv", 200_000, "Total;;1")
        read = []

        class Counting(io.FileIO):
            def read(self, size=-1):
                data = super().read(size)
                read.append(len(data))
                return data

        monkeypatch.setattr(det, "open", lambda p, mode: Counting(p, "r"), raising=False)
        assert det.detect(tmp_path / "big.csv").table_end == -2
        assert sum(read) <= det.HEAD_BYTES + det.TAIL_BYTES

    def test_stream_that_cannot_seek(self) -> None:
        class Pipe(io.BytesIO):
            def seek(self, *args):
                raise OSError("not seekable")

        head, tail = det.read_samples(Pipe(b"a,b\n" * 50_000))
        assert (len(head), tail) == (det.HEAD_BYTES, b"")
        assert det.detect_sample(head, tail).columns == 2


def random_inputs(count: int) -> list[bytes]:
    """Seeded noise: raw bytes, and text made of delimiters, quotes, line breaks and words."""
    rng = random.Random(2024)
    pieces = [",", ";", "\t", "|", " ", ":", "^", "~", '"', "'", "\\", "\n", "\r\n", "\r", "",
              "abc", "12", "3,5", "Total", "é", "\x00", "\ufeff"]
    out = []
    for k in range(count):
        if k % 3 == 0:
            out.append(rng.randbytes(rng.randint(0, 3000)))
        else:
            out.append("".join(rng.choice(pieces) for _ in range(rng.randint(0, 800)))
                       .encode(rng.choice(["utf-8", "utf-16", "cp1252"]), "replace"))
    return out


class TestAnyInput:
    def test_never_raises_and_is_deterministic(self) -> None:
        for data in random_inputs(100):
            for tail in (None, b"", data[len(data) // 2:]):
                first = det.detect_sample(data, tail)
                assert first == det.detect_sample(data, tail)
                assert first.delimiter in DELIMITERS and first.quote_char in ('"', "'", None)
                assert all(0 <= d.confidence <= 1 for d in first.decisions)
                assert first.skip_rows >= 0 and first.columns >= 0

    def test_hook_names_the_encoding_of_non_utf8(self) -> None:
        data = "Straße;Größe\nKöln;3\n".encode("cp1252")
        found = det.detect_sample(data, sniff_encoding=lambda b: ("latin-1", "a guess"))
        assert (found.encoding, found.delimiter) == ("latin-1", ";")
        assert det.detect_sample(data).encoding == "cp1252"
        assert det.detect_sample(b"a,b\n", sniff_encoding=pytest.fail).encoding == "utf-8"
        assert det.detect_sample(data, encoding="cp1252").decision("encoding").confidence == 1
        with pytest.raises(ValueError, match="encoding 'klingon'"):
            det.detect_sample(data, encoding="klingon")


def polluted(rng: random.Random) -> tuple[bytes, dict]:
    """A plain export with a preamble and an ending drawn at random, and the facts to find."""
    d = rng.choice(sorted(DELIMITERS))
    header, rows = layouts.sales(rng, rng.randint(3, 60), spaces=d != " ")
    pre = rng.choice([[], ["Export of table orders"], ["Orders", "Generated 2024-05-01", ""],
                      [f"Company{d}ACME", f"Period{d}Q1", ""], ["# exported by tool", ""],
                      ["Orders report" + d * 6, d * 6]])
    post = rng.choice([[], ["Total" + d * 6], ["Generated by the ERP system"],
                       ["", "Note: amounts in EUR"], ["", f"region{d}count", f"North{d}3"]])
    body = [layouts.row(r, d) for r in [header] + rows]
    facts = {"delimiter": d, "skip_rows": len(pre), "header_lines": 1, "columns": 7,
             "table_end": len(pre) + len(body) if post else None,
             "second_table_line": len(pre) + len(body) + 2 if len(post) == 3 else None}
    return "\n".join(pre + body + post + [""]).encode(), facts


def test_polluted_exports() -> None:
    rng = random.Random(7)
    for _ in range(150):
        data, facts = polluted(rng)
        found = det.detect_sample(data).to_dict()
        assert {k: found[k] for k in facts} == facts, data[:300]


@pytest.mark.parametrize("between, skip, header", [
    ("\n", 0, 1),  # names, a blank line, the rows: still the header
    ("\n\n", 0, 1),
    ("Exported 2024-05-01\n\n", 2, 1),
])
def test_names_a_blank_line_apart_from_the_rows(between, skip, header) -> None:
    rows = "".join(f"{1000 + i},2024-01-{i % 28 + 1:02d},Anna,Porto,{i * 3}\n" for i in range(30))
    text = ("Exported 2024-05-01\n\n" if skip else "") + "id,date,name,city,qty\n"
    found = det.detect_sample((text + (between if not skip else "") + rows).encode())
    assert (found.skip_rows, found.header_lines, found.columns) == (skip, header, 5)
    assert found.header == ("id", "date", "name", "city", "qty")


QUOTED = '"sale date"{d}"sale time"{d}"price"\n' + "".join(
    f'"0{k}/01/2018"{{d}}"0{k}:15"{{d}}"{k}5.10"\n' for k in range(1, 9))


@pytest.mark.parametrize("text, delimiter, escape, columns", [
    # Colons inside quoted times are no delimiter, whatever stands between the fields.
    (QUOTED.format(d="\t\t"), "\t", None, 5),
    (QUOTED.format(d=" ,"), ",", None, 3),
    (QUOTED.format(d=";"), ";", None, 3),
    (QUOTED.format(d="\\t"), ",", None, 1),  # \t written out: no single delimiter splits it
    # A backslash escape only where the quotes need it.
    ('id,doc\n1,"{\\""a\\"": 1}"\n2,"{\\""b\\"": 2}"\n', ",", None, 2),
    ('id,doc\n1,"say \\"hi\\", then go"\n2,"a \\"b\\""\n3,"c"\n', ",", "\\", 2),
    # A delimiter in a quoted name; one name short; digits cut by commas; times by colons.
    ('id,"last, first"\n1,"Doe, J"\n2,"Roe, K"\n3,"Poe, E"\n', ",", None, 2),
    ("id,name\n1,Anna,3\n2,Bob,4\n3,Cy,5\n", ",", None, 3),
    ("budget\n1,324,300.93\n12,422.99\n634,414.27\n", ";", None, 1),
    ("start\n12:30\n13:45\n09:05\n", ",", None, 1),
    ("url\nhttps://a.org/x\nhttps://b.org/y\n", ",", None, 1),
])
def test_delimiters_read_with_their_quotes(text, delimiter, escape, columns) -> None:
    found = det.detect_sample(text.encode())
    assert (found.delimiter, found.escape_char, found.columns) == (delimiter, escape, columns)
    assert (found.skip_rows, found.table_end) == (0, None)


def test_a_huge_header_name_still_leaves_whole_lines_to_read(tmp_path) -> None:
    path = tmp_path / "long.csv"
    name = "quantity sold per store and day " * 20_000  # 640 KB
    path.write_text(f"{name},price\n" + "".join(f"{k},{k}.5\n" for k in range(50)))
    limit = csv.field_size_limit()
    found = det.detect(path)
    assert (found.header_lines, found.columns, found.skip_rows) == (1, 2, 0)
    assert found.header[0] == name and csv.field_size_limit() == limit  # raised for one read only


class TestDialectRecord:
    found = det.detect(LAYOUTS / "erp_total_0.csv")

    def test_pickles_compares_and_is_frozen(self) -> None:
        assert pickle.loads(pickle.dumps(self.found)) == self.found
        assert dataclasses.replace(self.found, columns=1) != self.found
        with pytest.raises(dataclasses.FrozenInstanceError):
            self.found.columns = 1  # type: ignore[misc]

    def test_to_dict_is_plain_data_and_explain_covers_each_decision(self) -> None:
        as_dict = json.loads(json.dumps(self.found.to_dict()))
        assert as_dict["skip_rows"] == 4 and len(as_dict["decisions"]) == len(
            self.found.decisions)
        text = self.found.explain()
        for d in self.found.decisions:
            assert f"{d.name}: " in text and all(e in text for e in d.evidence)
        assert "Total" in self.found.decision("table_end").evidence[0]

    def test_source_types(self, tmp_path) -> None:
        path = tmp_path / "x.csv"
        path.write_bytes(b"a;b\n1;2\n")
        assert det.detect(path) == det.detect(str(path)) == det.detect(bytes(path))
        with pytest.raises(TypeError, match="source"):
            det.detect(3)
        with pytest.raises(FileNotFoundError) as caught:
            det.detect(tmp_path / "missing.csv")
        assert caught.value.filename == str(tmp_path / "missing.csv")


@pytest.fixture(scope="module")
def gen_csv(tmp_path_factory) -> Path:
    """The benchmark generator, built for these tests."""
    pytest.importorskip("_csv_quorle_backend")
    if shutil.which("g++") is None:
        pytest.skip("no C++ compiler for the generator")
    out = tmp_path_factory.mktemp("gen") / "gen_csv"
    source = Path(__file__).resolve().parents[2] / "bench" / "gen_csv.cpp"
    subprocess.run(["g++", "-std=c++20", "-O1", "-pthread", str(source), "-o", str(out)],
                   check=True)
    return out


class TestAgreesWithBackendOnPlainFiles:
    """On a header and uniform rows, the delimiter is the backend's sniff and the column count
    its inference, files made by the benchmark generator."""

    @pytest.mark.parametrize("delimiter", [",", ";", "tab", "|"])
    def test_generated_files(self, gen_csv, tmp_path, delimiter) -> None:
        import _csv_quorle_backend as backend

        for seed, columns in enumerate([2, 3, 4, 7, 12, 30]):
            path = tmp_path / "plain.csv"
            subprocess.run([str(gen_csv), "--seed", str(seed), "--delimiter", delimiter,
                            "--columns", str(columns), "--size", ["3K", "200K"][seed % 2],
                            "--quoted", ["0", "0.1"][seed % 3 // 2], "--crlf", "0.3",
                            "--header", str(path)], check=True)
            found = det.detect(path)
            head = path.read_bytes()[:det.HEAD_BYTES].decode()
            summary = backend.quorle_file(str(path), str(tmp_path / "out.csv"))
            assert (found.delimiter, found.columns) == (backend.sniff(head),
                                                        summary.inferred_columns)
            assert (found.skip_rows, found.header_lines, found.table_end) == (0, 1, None)
