"""Field text decoding, and agreement between the reader and the clean file that quorle_file writes."""

import csv
import random

import pytest

# Ill-formed UTF-8 must become U+FFFD in exactly the places where Python's own decoder puts them.
ILL_FORMED = {
    "lone_ff": b"a\xffb",
    "fe_ff": b"\xfe\xff",
    "lone_continuation": b"\x80",
    "continuations": b"x\x80\xbf\x80y",
    "truncated_2": b"\xc3",
    "truncated_3": b"\xe2\x82",
    "truncated_4": b"\xf0\x9f\x98",
    "truncated_4_then_ascii": b"\xf0\x9f\x98z",
    "truncated_twice": b"\xe2\x82\xe2\x82",
    "overlong_2": b"\xc0\xaf",
    "overlong_3": b"\xe0\x80\xaf",
    "overlong_3_short": b"\xe0\x80",
    "overlong_4": b"\xf0\x80\x80\xaf",
    "surrogate_high": b"\xed\xa0\x80",
    "surrogate_pair": b"\xed\xa0\xbd\xed\xb8\x80",
    "above_10ffff": b"\xf4\x90\x80\x80",
    "f5_lead": b"\xf5\x80\x80\x80",
    "five_byte_form": b"\xf8\x88\x80\x80\x80",
    "lead_then_lead": b"\xc3\xc3\xa9",
    "valid_around": b"\xc3\xa9\xff\xe2\x82\xac",
    "latin1_text": "Grüße aus Köln".encode("latin-1"),
    "max_valid_then_bad": b"\xf4\x8f\xbf\xbf\xf4\x90",
}


@pytest.mark.parametrize("raw", ILL_FORMED.values(), ids=ILL_FORMED.keys())
@pytest.mark.parametrize("quoted", [False, True], ids=["plain", "quoted"])
def test_ill_formed_bytes_replaced_like_python(q, write, raw, quoted):
    field = b'"' + raw + b'"' if quoted else raw
    reader = q.open(write(b"id,text\n1," + field + b"\n2," + field + b",x\n"), delimiter=",")
    expected = raw.decode("utf-8", "replace")
    assert list(reader) == [["id", "text"], ["1", expected], ["2", expected + ",x"]]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_bytes_decode_like_python(q, write, seed):
    rng = random.Random(seed)
    forbidden = set(b',"\r\n')
    pool = [b for b in range(256) if b not in forbidden]
    # Bias towards bytes that start or continue multi-byte sequences.
    pool += [0x80, 0xBF, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5] * 8
    fields, lines = [], [b"id,text"]
    for i in range(3000):
        raw = bytes(rng.choice(pool) for _ in range(rng.randint(0, 16)))
        if i % 3 == 2:  # quoted, so that delimiters and line breaks join the mix
            raw += rng.choice([b"", b",", b"\r\n", b'""'])
            lines.append(b"%d,\"%s\"" % (i, raw))
            raw = raw.replace(b'""', b'"')
        else:
            lines.append(b"%d,%s" % (i, raw))
        fields.append(raw)
    reader = q.open(write(b"\n".join(lines)), delimiter=",", expected_columns=2)
    rows = list(reader)
    assert rows[0] == ["id", "text"]
    assert rows[1:] == [[str(i), f.decode("utf-8", "replace")] for i, f in enumerate(fields)]
    assert reader.summary.repaired_rows == 0


TEXTS = ["café", "naïve résumé", "日本語のテキスト", "emoji 😀🎉", "ℵ₀ ≠ ∞", "Ωμέγα", "\u00a0nbsp", "a\u200bb"]


@pytest.mark.parametrize("delimiter", [",", "\t", ";", "|"])
def test_valid_non_ascii_round_trips(q, write, delimiter):
    rows = [[t, t.upper(), str(i)] for i, t in enumerate(TEXTS)]
    text = "".join(delimiter.join(r) + "\n" for r in rows)
    reader = q.open(write("\ufeff" + text))
    assert list(reader) == rows
    assert reader.summary.detected_delimiter == delimiter


def test_non_ascii_delimiter_is_refused_but_tab_works(q, write):
    path = write("a§b\nc§d\n")
    with pytest.raises(ValueError) as caught:
        q.open(path, delimiter="§")
    assert caught.value.__notes__ == ["while processing 'delimiter'"]
    reader = q.open(write("ä\tö\nü\tß\n"), delimiter="\t")
    assert list(reader) == [["ä", "ö"], ["ü", "ß"]]
    assert reader.summary.detected_delimiter == "\t"


# Damaged inputs: the clean file must be strict RFC-4180 and hold what the reader hands out.
DAMAGED = {
    "stray_quotes": (b'id,text\n1,"say "hi" now"\n2,"a "b" c"\n', {}),
    "unterminated": (b'id,text\n1,"never closed\n2,x\n', {}),
    "ragged": (b"a,b,c\n1\n1,2,3,4,5\n\n,\n", {}),
    "bom_crlf_cr": (b"\xef\xbb\xbfa,b\r\nc,d\re,f\n", {}),
    "invalid_utf8": (b"a,b\n\xff\xfe,\xc3\n\"\xe2\x82\",\xed\xa0\x80\n", {}),
    "breaks_in_fields": (b'a,b\n"x\ry","p\nq"\n"",\n', {}),
    "text_after_quote": (b'a,b\n"abc"def,"x" y\n', {}),
    "semicolon_apostrophe": (b"a;b\n'x;y';'it''s'\n'q\"r';s;t\n", {"delimiter": ";", "quote_char": "'"}),
    "tab_blank_lines": (b"a\tb\n\n\tc\n \t \n", {"delimiter": "\t"}),
    "quarantine_off": (b"a,b,c\n1,2\n1,2,3,4\nx,\"y,\"\"\",z\n", {"fill_ragged_rows": False, "merge_overflow": False}),
    "no_count": (b'a\n"b,c",d\ne,f,"g\n"\n', {"expected_columns": 0}),
}


@pytest.mark.parametrize("data, options", DAMAGED.values(), ids=DAMAGED.keys())
def test_clean_output_matches_reader(q, write, tmp_path, data, options):
    source = write(data)
    out = str(tmp_path / "clean.csv")
    summary = q.quorle_file(source, out, **options)
    reader = q.open(source, **options)
    expected = list(reader)
    assert summary.to_dict() == reader.summary.to_dict()
    dialect = {"delimiter": summary.detected_delimiter, "quotechar": options.get("quote_char", '"')}
    with open(out, newline="", encoding="utf-8") as f:
        written = [row or [""] for row in csv.reader(f, strict=True, **dialect)]
    assert written == expected
