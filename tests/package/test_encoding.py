"""The encoding step: the codec chosen, the UTF-8 the engine gets, what was counted and where."""

import codecs
import errno
import os
import pathlib
import threading

import pytest

from csv_quorle import _encoding as enc

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
    monkeypatch.setattr(enc, "CHUNK_SIZE", size)
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


def test_legacy_tail_after_utf8_head_is_detected_not_recoded(tmp_path):
    raw = ("ü" * 300 + "\n").encode() + EXPORT.encode("cp1252") * 20
    with enc.open_utf8(write(tmp_path, raw)) as src:
        assert src.info.recoded_bytes == 0
        assert src.info.encoding != "utf-8"


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
    assert enc._single_byte_table(codecs.lookup(codec).name) is not None
    with enc.open_utf8(path, codec) as src:
        native = bytes(src.buffer), src.info
    monkeypatch.setattr(enc, "_single_byte_table", lambda codec: None)
    with enc.open_utf8(path, codec) as src:
        assert (bytes(src.buffer), src.info) == native


@pytest.mark.parametrize("codec", ["utf-8", "utf-16-le", "shift_jis", "gb18030", "cp932"])
def test_multibyte_codecs_keep_pythons_decoder(codec):
    assert enc._single_byte_table(codecs.lookup(codec).name) is None


def test_native_transcode_errors():
    table = enc._single_byte_table("cp1252")
    with pytest.raises(OSError) as caught:
        enc._native.transcode_single_byte(table, b"caf\xe9", -1)
    assert caught.value.errno == errno.EBADF
    with pytest.raises(ValueError, match="table"):
        enc._native.transcode_single_byte(table[:-4], b"a", 1)
