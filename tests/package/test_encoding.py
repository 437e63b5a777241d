"""The encoding step: the codec chosen, the UTF-8 the engine gets, what was counted and where."""

import codecs
import csv
import errno
import io
import os
import pathlib
import random
import re
import threading
import unicodedata

import pytest
import text_samples as ts

import csv_quorle
from csv_quorle import _encoding as enc, _native
from csv_quorle._encoding import decode

EXPORT = "id,name,city,price\r\n" + "".join(
    f"{i},{name},{city},€{i}.50\r\n"
    for i, (name, city) in enumerate(
        [("José Müller", "Zürich"), ("Zoë Brontë", "Besançon"), ("Renée Faßbender", "Köln")] * 10
    )
)
# Valid UTF-8 (enough accents for the 1-in-100 rule) with three Windows-1252 bytes on lines
# 2, 4 and 5; line 3 is empty and the breaks are LF, CRLF and a lone CR.
MOSTLY = ("é" * 400 + "\n").encode() + b"x\xe9\n\r\nb\x80\rc\x9f\n"
MOSTLY_TEXT = "é" * 400 + "\nxé\n\r\nb€\rcŸ\n"
EMOJI = "a,😀\nb,ü\n"

# id, raw bytes, encoding=, text the engine gets, codec, bom, recoded, replaced, lines, engine
CASES = [
    ("utf8", b"a,b\n", "auto", "a,b\n", "utf-8", False, 0, 0, (), False),
    ("utf8 bom", codecs.BOM_UTF8 + "a,é\n".encode(), "auto", "a,é\n", "utf-8", True, 0, 0, (), False),
    ("utf16le bom", codecs.BOM_UTF16_LE + EMOJI.encode("utf-16-le"), "auto", EMOJI, "utf-16-le", True, 0, 0, (), False),
    ("utf16be bom", codecs.BOM_UTF16_BE + EMOJI.encode("utf-16-be"), "auto", EMOJI, "utf-16-be", True, 0, 0, (), False),
    ("utf32le bom", codecs.BOM_UTF32_LE + EMOJI.encode("utf-32-le"), "auto", EMOJI, "utf-32-le", True, 0, 0, (), False),
    ("utf32be bom", codecs.BOM_UTF32_BE + EMOJI.encode("utf-32-be"), "auto", EMOJI, "utf-32-be", True, 0, 0, (), False),
    ("utf16le no bom", EXPORT.encode("utf-16-le"), "auto", EXPORT, "utf-16-le", False, 0, 0, (), False),
    ("utf16be no bom", EXPORT.encode("utf-16-be"), "auto", EXPORT, "utf-16-be", False, 0, 0, (), False),
    ("utf16 odd tail", codecs.BOM_UTF16_LE + "a\n".encode("utf-16-le") + b"x", "auto", "a\n\ufffd", "utf-16-le", True, 0, 1, (2,), False),
    ("cp1252 export", EXPORT.encode("cp1252"), "auto", EXPORT, "cp1252", False, 0, 0, (), False),
    ("utf8 bom not mostly", codecs.BOM_UTF8 + b"x\xe9\n", "auto", None, "utf-8", True, 0, 0, (), True),
    ("mostly utf8", MOSTLY, "auto", MOSTLY_TEXT, "utf-8", False, 3, 0, (2, 4, 5), False),
    ("mostly utf8 bom", codecs.BOM_UTF8 + MOSTLY, "auto", MOSTLY_TEXT, "utf-8", True, 3, 0, (2, 4, 5), False),
    ("shift_jis", "名前,東京\n".encode("shift_jis"), "shift_jis", "名前,東京\n", "shift_jis", False, 0, 0, (), False),
    ("latin-1", b"caf\xe9\n", "latin-1", "café\n", "iso8859-1", False, 0, 0, (), False),
    ("cp1252 undefined", b"a\r\nb\x81\rc\x8d\x8d\n", "cp1252", "a\r\nb\ufffd\rc\ufffd\ufffd\n", "cp1252", False, 0, 3, (2, 3), False),
    ("utf-16 by name", codecs.BOM_UTF16_BE + "é".encode("utf-16-be"), "UTF-16", "é", "utf-16-be", True, 0, 0, (), False),
    ("utf-16 by name no bom", EXPORT.encode("utf-16-be"), "utf-16", EXPORT, "utf-16-be", False, 0, 0, (), False),
    ("utf-8 by name", b"a\xffb", "utf-8", None, "utf-8", False, 0, 0, (), True),
    ("utf-8 bom by name", codecs.BOM_UTF8 + b"a\xff", "utf8", None, "utf-8", True, 0, 0, (), True),
    ("empty", b"", "auto", "", "utf-8", False, 0, 0, (), False),
    ("empty by name", b"", "cp1252", "", "cp1252", False, 0, 0, (), False),
]


def write(tmp_path, raw, name="in.csv"):
    path = tmp_path / name
    path.write_bytes(raw)
    return path


@pytest.mark.parametrize(
    "raw, encoding, text, codec, bom, recoded, replaced, lines, engine",
    [c[1:] for c in CASES],
    ids=[c[0] for c in CASES],
)
def test_open_utf8(tmp_path, raw, encoding, text, codec, bom, recoded, replaced, lines, engine):
    with enc.open_utf8(write(tmp_path, raw), encoding, spill_dir=str(tmp_path)) as src:
        got, info = bytes(src.buffer), src.info
    mark = len(codecs.BOM_UTF8) if bom and codec == "utf-8" else 0
    assert got == (raw[mark:] if text is None else text.encode())
    assert (info.encoding, info.bom, info.recoded_bytes, info.replaced_bytes) == (codec, bom, recoded, replaced)
    assert (info.first_lines, info.engine_replaces) == (lines, engine)
    assert info.evidence.endswith(".")
    assert os.listdir(tmp_path) == ["in.csv"]  # the spill file has no name


@pytest.mark.parametrize("size", [1, 2, 3, 5, 7])
@pytest.mark.parametrize("case", ["utf16le bom", "utf32be bom", "utf16be no bom", "mostly utf8", "shift_jis", "cp1252 undefined"])
def test_chunk_edges_split_sequences(tmp_path, monkeypatch, size, case):
    raw, encoding, text, codec, _, recoded, replaced, lines, _ = next(c for c in CASES if c[0] == case)[1:]
    monkeypatch.setattr(decode, "CHUNK_SIZE", size)
    with enc.open_utf8(write(tmp_path, raw), encoding) as src:
        assert bytes(src.buffer) == text.encode()
        assert (src.info.encoding, src.info.recoded_bytes, src.info.replaced_bytes) == (codec, recoded, replaced)
        assert src.info.first_lines == lines


@pytest.mark.parametrize("case", ["mostly utf8", "mostly utf8 bom", "utf8", "cp1252 export"])
def test_engine_recodes_gets_a_mostly_utf8_file_as_it_is(tmp_path, case):
    raw, encoding, text, codec, bom, recoded, replaced, lines, engine = next(c for c in CASES if c[0] == case)[1:]
    with enc.open_utf8(write(tmp_path, raw), encoding, engine_recodes=True) as src:
        got, info = bytes(src.buffer), src.info
    if recoded:  # handed over: no copy, the engine counts
        assert got == raw[3 if bom else 0 :]
        assert (info.engine_recodes, info.recoded_bytes, info.first_lines) == (True, 0, ())
    else:  # nothing to recode: as without the option
        assert got == (raw[3 if bom else 0 :] if text is None else text.encode())
        assert (info.engine_recodes, info.encoding, info.engine_replaces) == (False, codec, engine)


def test_a_utf8_mark_over_legacy_bytes_has_them_read_as_windows_1252(tmp_path):
    with enc.open_utf8(write(tmp_path, codecs.BOM_UTF8 + b"x\xe9\n"), engine_recodes=True) as src:
        assert bytes(src.buffer) == b"x\xe9\n"
        assert (src.info.engine_recodes, src.info.engine_replaces) == (True, False)


def test_kernel_copy_falls_back_to_writes(tmp_path, monkeypatch):
    def refuse(*args):
        raise OSError(errno.EXDEV, "cross-device")

    monkeypatch.setattr(os, "copy_file_range", refuse)
    with enc.open_utf8(write(tmp_path, codecs.BOM_UTF8 + MOSTLY)) as src:
        assert bytes(src.buffer) == MOSTLY_TEXT.encode()


def test_first_lines_are_distinct_and_at_most_ten(tmp_path):
    raw = b"".join(b"%d,\x81\x81\n" % i for i in range(30))
    with enc.open_utf8(write(tmp_path, raw), "cp1252") as src:
        assert src.info.replaced_bytes == 60
        assert src.info.first_lines == tuple(range(1, 11))


def test_legacy_tail_after_utf8_head_is_read_as_both(tmp_path):
    # A line of UTF-8 of its own is real UTF-8, and a Windows-1252 tail reads the same whether
    # the whole file is decoded so or only its stray bytes: both parts keep their text.
    raw = ("ü" * 300 + "\n").encode() + EXPORT.encode("cp1252") * 20
    with enc.open_utf8(write(tmp_path, raw)) as src:
        assert bytes(src.buffer).decode() == "ü" * 300 + "\n" + EXPORT * 20
        legacy = sum(b > 127 for b in EXPORT.encode("cp1252")) * 20
        assert (src.info.encoding, src.info.recoded_bytes) == ("utf-8", legacy)


class TestArguments:
    @pytest.mark.parametrize("name", ["no-such-codec", "utf-9", "a\0b", "base64", ""])
    def test_unknown_codec_names_the_parameter(self, tmp_path, name):
        with pytest.raises(ValueError, match="encoding"):
            enc.open_utf8(write(tmp_path, b"a\n"), name)

    def test_encoding_must_be_str(self, tmp_path):
        with pytest.raises(TypeError, match="encoding"):
            enc.open_utf8(write(tmp_path, b"a\n"), b"utf-8")

    @pytest.mark.parametrize("kind", [str, bytes, pathlib.Path])
    def test_path_kinds(self, tmp_path, kind):
        path = write(tmp_path, b"a\n")
        with enc.open_utf8(kind(os.fsencode(path)) if kind is bytes else kind(path)) as src:
            assert bytes(src.buffer) == b"a\n"


class TestFiles:
    def test_missing_file(self, tmp_path):
        path = str(tmp_path / "missing.csv")
        with pytest.raises(FileNotFoundError) as caught:
            enc.open_utf8(path)
        assert (caught.value.errno, caught.value.filename) == (errno.ENOENT, path)
        assert caught.value.strerror

    def test_directory(self, tmp_path):
        with pytest.raises(IsADirectoryError) as caught:
            enc.open_utf8(tmp_path)
        assert (caught.value.errno, caught.value.filename) == (errno.EISDIR, str(tmp_path))

    def test_missing_spill_dir(self, tmp_path):
        spill = str(tmp_path / "gone")
        with pytest.raises(FileNotFoundError) as caught:
            enc.open_utf8(write(tmp_path, b"caf\xe9\n"), "cp1252", spill_dir=spill)
        assert (caught.value.errno, caught.value.filename) == (errno.ENOENT, spill)

    def test_unknown_codec_is_refused_before_the_file_is_opened(self, tmp_path):
        with pytest.raises(ValueError):
            enc.open_utf8(tmp_path / "missing.csv", "nope")

    @pytest.mark.parametrize(
        "raw, text, codec",
        [(EXPORT.encode("cp1252"), EXPORT, "cp1252"), (MOSTLY, MOSTLY_TEXT, "utf-8")],
        ids=["cp1252", "mostly utf8"],
    )
    def test_fifo_is_read_whole(self, tmp_path, raw, text, codec):
        path = tmp_path / "pipe"
        os.mkfifo(path)
        writer = threading.Thread(target=path.write_bytes, args=(raw * 50,))
        writer.start()
        try:
            with enc.open_utf8(path) as src:
                assert bytes(src.buffer) == (text * 50).encode()
                assert src.info.encoding == codec
        finally:
            writer.join()

    @pytest.mark.parametrize("text, encoding", [("a,b\n", "utf-8"), ("café\n" * 50, "cp1252")])
    def test_buffer_released_on_exit_even_with_a_live_view(self, tmp_path, text, encoding):
        with enc.open_utf8(write(tmp_path, text.encode(encoding))) as src:
            kept = src.buffer[1:]  # mapped file or spill: closing must not fail on it
        with pytest.raises(ValueError):
            bytes(src.buffer)
        assert bytes(kept) == text.encode()[1:]
        kept.release()


@pytest.mark.parametrize(
    "head, codec",
    [
        (b"", "utf-8"),
        (codecs.BOM_UTF8 + b"a", "utf-8-sig"),
        (codecs.BOM_UTF16_LE + b"a\0", "utf-16"),
        (codecs.BOM_UTF32_BE + b"\0\0\0a", "utf-32"),
        ("a,b\n1,2\n".encode("utf-32-le"), "utf-32-le"),
        ("a,é\n".encode() + b"\xe2\x82", "utf-8"),  # cut at the end of the sample
        (MOSTLY, "utf-8"),
        (EXPORT.encode("cp1252"), "cp1252"),
    ],
)
def test_sniff_encoding(head, codec):
    got, evidence = enc.sniff_encoding(head)
    assert got == codec and evidence.endswith(".")


@pytest.mark.parametrize("codec", ["cp1252", "latin-1", "cp1251", "koi8-r", "ascii", "cp037"])
def test_native_single_byte_path_matches_python_decoder(tmp_path, monkeypatch, codec):
    # Every byte, in lines ending LF, CRLF and CR: the same text, counts and lines as Python's path.
    raw = bytes(range(256)) + b"\r\n" + bytes(range(255, -1, -1)) + b"\rx\x81\n\x90"
    path = write(tmp_path, raw)
    assert decode.single_byte_table(codecs.lookup(codec).name) is not None
    with enc.open_utf8(path, codec) as src:
        native = bytes(src.buffer), src.info
    monkeypatch.setattr(decode, "single_byte_table", lambda codec: None)
    with enc.open_utf8(path, codec) as src:
        assert (bytes(src.buffer), src.info) == native


@pytest.mark.parametrize("codec, bad", [
    ("utf-8", b"\xe6\x9d"), ("utf-16-le", b"\x00\xd8"), ("shift_jis", b"\x81\xff"),
    ("gb18030", b"\x81\x30\xff"), ("cp932", b"\xa0\xfd"), ("big5", b"\xf9\xfe\x80"),
])
def test_multibyte_codecs_read_as_pythons_decoder_reads_them(tmp_path, codec, bad):
    # Characters of two bytes and more, and a sequence the codec refuses inside a field.
    head, tail = "id,name\r\n1,名前 東京\r\n2,\"a,東\"\r\n3,x", "y\r\n"
    raw = head.encode(codec) + bad + tail.encode(codec)
    clean = tmp_path / "clean.csv"
    csv_quorle.rescue(write(tmp_path, raw), clean, tmp_path / "q.csv", encoding=codec)
    expected = list(csv.reader(io.StringIO(raw.decode(codec, "replace"), newline="")))
    assert list(csv.reader(clean.open(encoding="utf-8", newline=""))) == expected


def test_native_transcode_errors():
    table = decode.single_byte_table("cp1252")
    with pytest.raises(OSError) as caught:
        _native.transcode_single_byte(table, b"caf\xe9", -1)
    assert caught.value.errno == errno.EBADF
    with pytest.raises(ValueError, match="table"):
        _native.transcode_single_byte(table[:-4], b"a", 1)


class TestGeneratedExports:
    """Exports generated in many languages and encoded with Python's codecs, the oracle."""

    # Central European, Turkish and Baltic text has too few telling bytes in 200: there the
    # Western default is the intended reading.
    TELLING = 1000
    CASES = [
        ("cp1252", "french"), ("cp1252", "german caps"), ("cp1252", "english"),
        ("iso8859-15", "french"), ("latin-1", "portuguese"), ("mac-roman", "german"),
        ("mac-roman", "western"), ("cp850", "spanish"), ("cp437", "german"), ("cp1250", "czech"),
        ("iso8859-2", "polish"), ("cp1254", "turkish"), ("cp1257", "lithuanian"),
        ("cp1251", "russian"), ("koi8-r", "russian"), ("cp866", "russian"), ("cp1253", "greek"),
        ("cp1255", "hebrew"), ("cp1256", "arabic"), ("cp874", "thai"),
        ("shift_jis", "japanese"), ("euc-jp", "japanese"), ("gbk", "chinese"),
        ("big5", "taiwanese"), ("euc-kr", "korean"),
    ]

    @pytest.mark.parametrize("size", [200, 2000, 65536])
    @pytest.mark.parametrize("codec, language", CASES)
    def test_read_back_with_a_warning(self, tmp_path, codec, language, size):
        text = ts.export(language, codec, size)
        with enc.open_utf8(write(tmp_path, text.encode(codec))) as src:
            got, info = bytes(src.buffer).decode(), src.info
        if size < self.TELLING and codec in ("cp1250", "iso8859-2", "cp1254", "cp1257"):
            assert info.encoding in (codecs.lookup(codec).name, "cp1252")
        else:
            assert got == text  # the codec read, or one of its family that reads it alike
        assert f"({info.encoding}, confidence {info.confidence:.2f})" in info.warning

    @pytest.mark.parametrize("language", ["french", "german", "spanish", "english", "polish",
                                          "czech", "hungarian", "turkish", "western"])
    def test_short_latin_text_never_gets_another_script(self, language):
        for codec in ("cp1252", "cp1250", "mac-roman", "cp850"):
            for seed in range(8):
                for size in (80, 200, 500):
                    raw = ts.export(language, codec, size, seed).encode(codec)
                    got = raw.decode(enc.sniff_sample(raw, True).codec, "replace")
                    letters = {c for c in got if c.isalpha() and not c.isascii()} - set("ªºµ")
                    assert all(unicodedata.name(c).startswith("LATIN") for c in letters), got


class TestMixedFiles:
    @pytest.mark.parametrize("utf8_lines, legacy_lines",
                             [(1000, 20), (100, 2), (30, 1), (20, 20), (5, 100)])
    def test_utf8_with_windows_1252_lines_keeps_every_line(self, tmp_path, utf8_lines, legacy_lines):
        raw, lines = ts.mixed(utf8_lines, legacy_lines, language="western")
        with enc.open_utf8(write(tmp_path, raw)) as src:
            assert bytes(src.buffer).decode().splitlines(keepends=True) == lines
            stray = sum(b > 127 for line in lines[utf8_lines:] for b in line.encode("cp1252"))
            assert (src.info.encoding, src.info.recoded_bytes) == ("utf-8", stray)
            assert src.info.first_lines[0] == utf8_lines + 1
            assert "(utf-8, confidence" in src.info.warning

    def test_stray_bytes_of_another_code_page_are_named_in_the_warning(self, tmp_path):
        rng = random.Random(3)
        utf8, czech = ts.records("western", "cp1252", rng), ts.records("czech", "cp1250", rng)
        raw = "".join(next(utf8) for _ in range(200)).encode() + "".join(
            next(czech) for _ in range(10)).encode("cp1250")
        with enc.open_utf8(write(tmp_path, raw)) as src:
            assert src.info.encoding == "utf-8"
            assert src.info.warning.endswith("read better as Central European Windows-1250 (cp1250).")

    # Legacy text whose bytes pair up into valid UTF-8 now and then, even on whole lines.
    PAIRING = [("cp1251", "russian caps", False), ("cp874", "thai", False),
               ("shift_jis", "japanese", False), ("gbk", "chinese", True)]

    @pytest.mark.parametrize("codec, language, word_lines", PAIRING)
    def test_legacy_text_with_valid_pairs_stays_legacy(self, tmp_path, codec, language, word_lines):
        if word_lines:  # one word a line: some lines are valid UTF-8 by chance
            rng = random.Random(1)
            words = ts.encodable(ts.WORDS[language].split(), codec)
            text = "".join(rng.choice(words) + "\n" for _ in range(2000))
        else:
            text = ts.export(language, codec, 20000)
        raw = text.encode(codec)
        clean, mixed, _, _ = _native.utf8_evidence(raw, True)
        assert clean + mixed > 0 and (clean > 0) == word_lines  # the rule is put to the test
        with enc.open_utf8(write(tmp_path, raw)) as src:
            assert bytes(src.buffer).decode() == text
            assert src.info.recoded_bytes == 0


def evidence_oracle(raw: bytes) -> tuple[int, int, int, int]:
    """utf8_evidence from Python's decoder, line by line."""
    clean = mixed = invalid = 0
    first = -1
    for m in re.finditer(rb"[^\r\n]+", raw):
        text = m.group().decode("utf-8", "surrogateescape")
        bad = sum("\udc80" <= c <= "\udcff" for c in text)
        sequences = sum(c > "\x7f" for c in text) - bad
        if bad and first < 0:
            try:
                m.group().decode("utf-8")
            except UnicodeDecodeError as e:
                first = m.start() + e.start
        invalid += bad
        if bad:
            mixed += sequences
        else:
            clean += sequences
    return clean, mixed, invalid, first


class TestUtf8Evidence:
    PIECES = [b"a", b",", b"\n", b"\r", b"\r\n", "é".encode(), "€".encode(), "😀".encode(), b"\xe9",
              b"\x80", b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98", b"\xed\xa0\x80", b"\xc0\xaf", b"\xff"]

    def test_random_mixes_match_pythons_decoder(self):
        rng = random.Random(7)
        for _ in range(3000):
            raw = b"".join(rng.choice(self.PIECES) for _ in range(rng.randrange(40)))
            assert _native.utf8_evidence(raw, True) == evidence_oracle(raw), raw

    def test_long_mostly_valid_text_matches_pythons_decoder(self):
        """Kilobytes of well-formed lines with a rare fault, long lines among them: the stretches
        checked as a whole and the ones read character by character meet anywhere."""
        rng = random.Random(8)
        valid, faults = self.PIECES[:8], self.PIECES[8:]
        for _ in range(300):
            rare = rng.choice([20, 500, 5000, 10**9])
            line_end = rng.choice([0.02, 0.2])
            raw = b"".join(rng.choice(faults) if rng.randrange(rare) == 0 else
                           b"\n" if rng.random() < line_end else rng.choice(valid)
                           for _ in range(rng.randrange(6000)))
            assert _native.utf8_evidence(raw, True) == evidence_oracle(raw)

    @pytest.mark.parametrize("raw, final, expected", [
        (b"a\xc3", False, (0, 0, 0, -1)),  # a character cut by the end of a sample
        (b"a\xc3", True, (0, 0, 1, 1)),
        (b"\xc3\xa9\n\xe2\x82", False, (1, 0, 0, -1)),
        (b"\xc3\xa9\n\xe2\x82\xac\xff", False, (1, 1, 1, 6)),  # not a cut: a wrong byte
        (b"", True, (0, 0, 0, -1)),
    ])
    def test_a_cut_character_counts_only_at_the_end_of_the_file(self, raw, final, expected):
        assert _native.utf8_evidence(raw, final) == expected


@pytest.mark.parametrize("raw, codec, guessed", [
    (b"id,name\n1,plain\n", "utf-8", False),
    ("id,name\n1,José\n".encode(), "utf-8", False),
    (ts.export("german", "cp1252", 3000).encode("cp1252"), "cp1252", True),
    (ts.export("french", "mac-roman", 3000).encode("mac-roman"), "mac-roman", True),  # CR ends
    (ts.export("russian", "cp1251", 3000).encode("cp1251"), "cp1251", True),
    (ts.mixed(100, 2)[0], "utf-8", True),
    (ts.export("spanish", "cp1252", 3000).encode("utf-16-le"), "utf-16-le", True),
    (b"a,b\n" * 30000 + ts.export("german", "cp1252", 3000).encode("cp1252"), "cp1252", True),
], ids=["ascii", "utf8", "cp1252", "mac-roman", "cp1251", "mixed", "utf-16 no mark",
        "legacy after 120 KB of ASCII"])
def test_rescue_warns_of_every_guess_as_detect_reports_it(tmp_path, raw, codec, guessed):
    path = write(tmp_path, raw)
    report = csv_quorle.rescue(path, tmp_path / "out.csv")
    decision = csv_quorle.detect(path).decision("encoding")
    named = [m.groups() for w in report.warnings
             if (m := re.search(r"\((\S+), confidence (0\.\d\d)\)", w))]
    assert report.encoding == decision.value == codec
    assert named == ([(codec, f"{decision.confidence:.2f}")] if guessed else [])
