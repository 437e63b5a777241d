"""How often ``encoding="auto"`` reads generated legacy and mixed exports back to their text.

    python3 bench/encoding_accuracy.py [--seeds 20] [--sizes 200,2000,65536] [--detect] [--held-out]

For every (codec, language) of tests/package/text_samples.py and every size, `--seeds`
exports are written and opened with csv_quorle's open_utf8 (what rescue() decodes); a pick is
right when the UTF-8 it yields is the original text (so a codec of the same family that
decodes the same bytes to the same text counts as right). With --detect, detect()'s encoding
decision is checked the same way. Mixed files (N UTF-8 records, k Windows-1252 records
appended) count the records read back right. With --held-out, the text is not the generator's
but the translations in this machine's /usr/share/locale message catalogs (real sentences the
rules were not tuned on), one message a record. Run it with the interpreter that has csv_quorle
installed.
"""

import argparse
import collections
import gettext
import pathlib
import random
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "package"))

import text_samples as ts  # noqa: E402
from csv_quorle import _encoding as enc  # noqa: E402
from csv_quorle._detect import detect_sample  # noqa: E402

LOCALES = {"french": "fr", "german": "de", "spanish": "es", "portuguese": "pt", "polish": "pl",
           "czech": "cs", "hungarian": "hu", "turkish": "tr", "lithuanian": "lt", "russian": "ru",
           "ukrainian": "uk", "bulgarian": "bg", "greek": "el", "hebrew": "he", "arabic": "ar",
           "thai": "th", "japanese": "ja", "chinese": "zh_CN", "taiwanese": "zh_TW", "korean": "ko",
           "western": "fr", "english": "en_GB"}
_messages: dict[str, list[str]] = {}


def messages(language: str) -> list[str]:
    """The translated messages of the machine's catalogs for a language, one line each."""
    code = LOCALES[language.split()[0]]
    if code not in _messages:
        found = []
        for mo in sorted(pathlib.Path("/usr/share/locale", code, "LC_MESSAGES").glob("*.mo")):
            try:
                with open(mo, "rb") as f:
                    catalog = gettext.GNUTranslations(f)._catalog  # type: ignore[attr-defined]
            except Exception:
                continue
            for text in catalog.values():
                if isinstance(text, str) and not text.isascii():
                    found.append(" ".join(text.replace(";", ",").split())[:200])
        _messages[code] = found
    return _messages[code]


def held_out(language: str, codec: str, size: int, seed: int) -> str:
    """Records of translated messages that `codec` can encode, about `size` bytes."""
    pool = ts.encodable(messages(language), codec)
    if not pool:
        return ""
    rng = random.Random(f"{language}/{codec}/{size}/{seed}")
    caps = language.endswith(" caps")
    lines, used = ["id;text\n"], 8
    while used < size:
        text = rng.choice(pool)
        line = f"{len(lines)};{text.upper() if caps else text}\n"
        if caps and not ts.encodable([line], codec):
            continue
        if used + len(line.encode(codec)) > size and len(lines) > 1:
            break
        lines.append(line)
        used += len(line.encode(codec))
    return "".join(lines)


MIXED = [(1000, 20), (100, 2), (30, 1), (200, 50), (20, 20), (5, 100)]


def opened(folder: pathlib.Path, raw: bytes) -> tuple[str, str]:
    path = folder / "in.csv"
    path.write_bytes(raw)
    with enc.open_utf8(path, spill_dir=str(folder)) as src:
        return bytes(src.buffer).decode("utf-8", "replace"), src.info.encoding


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seeds", type=int, default=20)
    ap.add_argument("--sizes", default="200,2000,65536")
    ap.add_argument("--detect", action="store_true")
    ap.add_argument("--held-out", action="store_true")
    args = ap.parse_args()
    make = held_out if args.held_out else ts.export
    sizes = [int(s) for s in args.sizes.split(",")]
    right = collections.Counter()
    total = collections.Counter()
    wrong_as = collections.defaultdict(collections.Counter)
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        for codec, languages in ts.LEGACY.items():
            for size in sizes:
                for language in languages:
                    for seed in range(args.seeds):
                        text = make(language, codec, size, seed)
                        if not text or text.isascii():
                            continue
                        raw = text.encode(codec)
                        if args.detect:
                            d = detect_sample(raw[:65536], raw[-16384:] if len(raw) > 65536 else None)
                            got_codec = d.encoding
                            ok = raw[:65536].decode(got_codec, "replace").startswith(text[:1000])
                        else:
                            got, got_codec = opened(folder, raw)
                            ok = got == text
                        key = (codec, size)
                        total[key] += 1
                        right[key] += ok
                        if not ok:
                            wrong_as[key][got_codec] += 1
        print(f"{'codec':12} " + " ".join(f"{s:>14}" for s in sizes) + "   wrong picks")
        all_right = all_total = 0
        for codec in ts.LEGACY:
            cells = []
            misses = collections.Counter()
            for size in sizes:
                r, t = right[(codec, size)], total[(codec, size)] or 1
                all_right += r
                all_total += t
                cells.append(f"{r:>5}/{t:<4} {100 * r / t:3.0f}%")
                misses.update(wrong_as[(codec, size)])
            print(f"{codec:12} " + " ".join(f"{c:>14}" for c in cells) + "   " +
                  ", ".join(f"{c} {n}" for c, n in misses.most_common(4)))
        print(f"all: {all_right}/{all_total} = {100 * all_right / all_total:.1f}%")

        if args.detect:
            return
        print("\nmixed: UTF-8 records + Windows-1252 records appended -> records read right")
        for n, k in MIXED:
            good = count = 0
            codecs_seen = collections.Counter()
            for seed in range(args.seeds):
                for language in ("french", "german", "spanish", "portuguese"):
                    raw, lines = ts.mixed(n, k, seed, language)
                    got, codec = opened(folder, raw)
                    codecs_seen[codec] += 1
                    got_lines = got.splitlines(keepends=True)
                    good += sum(a == b for a, b in zip(got_lines, lines))
                    count += len(lines)
            print(f"  {n:5} + {k:<4} {good}/{count} = {100 * good / count:.1f}%   {dict(codecs_seen)}")


if __name__ == "__main__":
    main()
