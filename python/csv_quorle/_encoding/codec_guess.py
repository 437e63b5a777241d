"""Which legacy code page a sample that is not UTF-8 is in, and how sure that is.

Western European text is by far the most common legacy export, and a short sample of it holds
few non-ASCII bytes: too few for a statistical detector, which then often names an exotic code
page (a Japanese or a Thai one) that happens to decode them without error. So:

1. When most non-ASCII bytes stand in runs of their own (the words of a Cyrillic, Greek, Hebrew,
   Arabic, Thai or CJK text), or read poorly in every Latin code page, charset-normalizer
   proposes code pages. Its pick is taken only with enough non-ASCII bytes and when the decoded
   words make sense: each word in one script other than Latin, a cased script with capitals
   somewhere, and for the multi-byte CJK codecs a clean decode into words of common characters
   (a wrong reading lands on rare ones, half-width kana or lone Hangul letters).
2. Otherwise the Latin-script code pages are compared by how the non-ASCII bytes read: a byte
   between ASCII letters should be a letter of their case, one next to a word a letter or common
   punctuation, and the letters found should be ones a single language uses together.
   Windows-1252 wins every tie; the other Western pages (ISO-8859-15, Mac OS Roman, DOS
   cp850/cp437) need a lead of more than a stray byte, and the Central European, Turkish and
   Baltic ones a clear lead on a sample with enough non-ASCII bytes. Lines ended by a lone CR
   (classic Mac OS) count a little for Mac OS Roman.
"""

from __future__ import annotations

import codecs
import collections
import functools
import re
import unicodedata
from typing import NamedTuple

MIN_EXOTIC = 16  # non-ASCII bytes a non-Latin code page needs
MIN_CENTRAL = 8  # ... and a Central European, Turkish or Baltic one
CENTRAL_LEAD = 0.15  # ... which must lead by this much per byte it reads differently
CENTRAL_SHARE = 0.08  # ... and by this share of Windows-1252's score
WESTERN_LEAD = 2.0  # the lead another Western code page needs over Windows-1252
RUN = 3  # a run of this many non-ASCII bytes is a word of its own, not an accent
UNCOVERED = 1.0  # a letter that the language of the others does not use
POOR_FIT = 0.6  # a Latin reading scoring less per non-ASCII byte leaves room for other scripts


class Guess(NamedTuple):
    codec: str  # Python's normalised name
    confidence: float
    evidence: str  # one sentence, no final full stop


# Latin-script candidates, Windows-1252 first: on a tie the earlier one wins.
WESTERN = ("cp1252", "iso8859-15", "mac-roman", "cp850", "cp437")
CENTRAL = ("cp1250", "iso8859-2", "cp1254", "cp1257")
NAMES = {
    "cp1252": "Windows-1252", "iso8859-15": "ISO-8859-15", "mac-roman": "Mac OS Roman",
    "cp850": "DOS Latin-1 (cp850)", "cp437": "DOS US (cp437)",
    "cp1250": "Central European Windows-1250", "iso8859-2": "Central European ISO-8859-2",
    "cp1254": "Turkish Windows-1254", "cp1257": "Baltic Windows-1257",
    "cp1251": "Cyrillic Windows-1251", "koi8-r": "Cyrillic KOI8-R", "koi8-u": "Cyrillic KOI8-U",
    "cp866": "Cyrillic DOS (cp866)", "mac-cyrillic": "Mac OS Cyrillic",
    "iso8859-5": "Cyrillic ISO-8859-5", "cp1253": "Greek Windows-1253",
    "iso8859-7": "Greek ISO-8859-7", "cp1255": "Hebrew Windows-1255",
    "iso8859-8": "Hebrew ISO-8859-8", "cp1256": "Arabic Windows-1256",
    "iso8859-6": "Arabic ISO-8859-6", "cp874": "Thai Windows-874", "tis-620": "Thai TIS-620",
    "cp932": "Japanese Shift JIS (Windows)", "shift_jis": "Japanese Shift JIS",
    "euc_jp": "Japanese EUC-JP", "gb18030": "Chinese GB18030", "gbk": "Chinese GBK",
    "gb2312": "Chinese GB2312", "big5": "Chinese Big5", "cp949": "Korean (cp949)",
    "euc_kr": "Korean EUC-KR",
}

# The accented letters of each language written with a Latin-script code page. A decoding that
# needs letters from several of these at once (ø and ř, ì and ł) is the wrong code page.
LANGUAGES = {
    "French": "àâæçéèêëîïôœùûüÿ", "German": "äöüß", "Spanish": "áéíóúñü",
    "Portuguese": "áâãàçéêíóôõú", "Italian": "àèéìíòóù", "Catalan": "àçéèíïòóúü",
    "Dutch": "éëïèöü", "Danish/Norwegian": "æøåé", "Swedish/Finnish": "åäöéšž",
    "Icelandic": "áðéíóúýþæö", "Polish": "ąćęłńóśźż", "Czech": "áčďéěíňóřšťúůýž",
    "Slovak": "áäčďéíĺľňóôŕšťúýž", "Hungarian": "áéíóöőúüű", "Romanian": "ăâîșțşţ",
    "Croatian/Slovenian": "čćđšž", "Turkish": "çğıöşüâî", "Lithuanian": "ąčęėįšųūž",
    "Latvian": "āčēģīķļņšūž", "Estonian": "äöõüšž",
}
# What a non-ASCII byte commonly is when it is not a letter: money, quotes, dashes, marks.
COMMON = set("€£¥¢°§«»–—‘’‚“”„…•·©®™±×÷½¼¾²³µ¿¡ªº¬\xa0")
NON_LATIN_ROUNDS = 4  # readings asked of charset-normalizer at most, see _non_latin
APOSTROPHES = set("’‘´ʼ`")

_HIGH_RUNS = re.compile(rb"[\x80-\xff]+")
_LETTER = re.compile(rb"[A-Za-z]")


@functools.lru_cache(maxsize=4)  # rescue() guesses on the sample that detect() saw before
def guess(sample: bytes) -> Guess:
    """The code page of `sample` (whole lines of a file that is not UTF-8)."""
    runs = _HIGH_RUNS.findall(sample)
    high = sum(len(r) for r in runs)
    if high == 0:
        return Guess("cp1252", 0.5, "the sample has no non-ASCII byte; Windows-1252 is assumed")
    # Words of their own go to charset-normalizer first, and so do bytes that read poorly in
    # every Latin code page (Shift JIS, GBK and Big5, whose trail bytes may be ASCII letters,
    # cut their runs short).
    own_words = sum(len(r) for r in runs if len(r) >= RUN) * 2 >= high
    if high >= MIN_EXOTIC and own_words:
        found = _non_latin(sample, high)
        if found is not None:
            return found
    latin, fit = _latin(sample)
    if high >= MIN_EXOTIC and not own_words and fit < POOR_FIT:
        return _non_latin(sample, high) or latin
    return latin


# --- Latin script -------------------------------------------------------------------------------


def _latin(sample: bytes) -> tuple[Guess, float]:
    """The best Latin-script reading, and its score per non-ASCII byte."""
    spots = _spots(sample)
    high = sum(spots.values())
    if not high:
        return Guess("cp1252", 0.5, "its non-ASCII bytes are all UTF-8; Windows-1252 is assumed for "
                     "the others"), 1.0
    found = sorted({b for b, *_ in spots})
    lone_cr = b"\r" in sample and b"\n" not in sample
    scored = []  # (score, codec, its characters for 0x80..0xFF, what it makes of the bytes found)
    for codec in WESTERN + CENTRAL:
        chars = _HIGH.decode(codec, "replace")
        scored.append((_score(chars, spots), codec, chars, "".join(chars[b] for b in found)))
    base, _, default, default_reads = scored[0]
    best = scored[0]
    for score, codec, chars, reads in scored[1:]:  # another reading must lead Windows-1252's
        if codec in CENTRAL:
            # A clear lead, for the bytes the two read differently and over the whole score:
            # French with a few Spanish names reads almost as well as Slovak (è as č).
            differ = sum(n for (b, *_), n in spots.items() if chars[b] != default[b])
            need = max(3.0, CENTRAL_LEAD * differ, CENTRAL_SHARE * abs(base))
            if high < MIN_CENTRAL:
                need = float("inf")
        else:  # a lead worth more than a stray byte or two
            need = 0.0 if codec == "mac-roman" and lone_cr else WESTERN_LEAD
        if reads != default_reads and score - base >= need and score > best[0]:
            best = (score, codec, chars, reads)
    score, codec, _, reads = best
    runner = max(((s, c) for s, c, _, r in scored if r != reads), default=None)
    fit = max(0.0, score) / high
    strength = min(1.0, high / 32)
    margin = 1.0 if runner is None else min(1.0, max(0.0, score - runner[0]) / max(2.0, 0.1 * high))
    confidence = round(0.5 + 0.45 * strength * min(1.0, fit) * (0.5 + 0.5 * margin), 2)
    why = (f"its {_count(high)} non-ASCII bytes read best as {NAMES[codec]}, as letters inside "
           f"words and common signs elsewhere (score {score:.1f}")
    if runner:
        why += f"; next best {NAMES[runner[1]]}, {runner[0]:.1f}"
    if codec == "mac-roman" and lone_cr:
        why += "; lines end with a lone CR, as on classic Mac OS"
    return Guess(codec, confidence, why + ")"), score / high


_HIGH = bytes(range(128, 256))  # decoded by a code page: its characters, offset by 128
Spot = tuple[int, int, str, bool]  # (byte - 128, kind, expected case, starts a word)


def _spots(sample: bytes) -> collections.Counter[Spot]:
    """How often each non-ASCII byte stands in each place.

    kind 2: between ASCII letters (in a run of non-ASCII bytes flanked by them); 1: next to a
    letter on one side; 0: on its own. The case is 'u' when the flanking letters are capitals.
    """
    out: collections.Counter[Spot] = collections.Counter()
    for m in _HIGH_RUNS.finditer(sample):
        if _valid_utf8(m.group()):  # the UTF-8 lines of a mixed file, not the legacy part
            continue
        a, b = m.start(), m.end()
        left, right = sample[a - 1 : a] if a else b"", sample[b : b + 1]
        lf, rt = bool(_LETTER.match(left)), bool(_LETTER.match(right))
        kind = 2 if lf and rt else 1 if lf or rt else 0
        case = "u" if (not lf or left.isupper()) and (not rt or right.isupper()) and (lf or rt) else "l"
        for i in range(a, b):
            out[sample[i] - 128, kind, case, i == a and not lf] += 1
    return out


def _valid_utf8(run: bytes) -> bool:
    try:
        run.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _score(chars: str, spots: collections.Counter[Spot]) -> float:
    """How letter-like a code page (`chars`: its characters for 0x80 to 0xFF) reads the bytes."""
    score = 0.0
    letters: collections.Counter[str] = collections.Counter()
    for (b, kind, case, starts), n in spots.items():
        c = chars[b]
        if c == "\ufffd" or unicodedata.category(c) == "Cc":
            score -= 2 * n
            continue
        if c.isalpha():
            letters[c.lower()] += n
            wrong_case = (c.isupper() and case == "l" and not starts) or (
                c.islower() and case == "u" and c != "ß")  # ß has no capital in most text
            if kind == 2:
                score += (-0.5 if wrong_case else 1) * n
            else:
                score += 0.5 * n
        elif kind == 2:
            score += (1 if c in APOSTROPHES else -1.5) * n  # don’t, l’été
        else:
            score += (1 if c in COMMON else -1) * n
    if letters:
        covered = max(sum(n for c, n in letters.items() if c in chars_) for chars_ in LANGUAGES.values())
        score -= UNCOVERED * (sum(letters.values()) - covered)
    return score


# --- other scripts -------------------------------------------------------------------------------

CASELESS = "a cased script with no capital"
_CASED = ("CYRILLIC", "GREEK", "LATIN")
# The common rows of each CJK code page family: (codec of the common set, its lead bytes). A wrong
# multi-byte reading of a sample lands mostly on rare characters outside them.
_COMMON_CJK = {
    "shift_jis": ("shift_jis", 0x81, 0x98), "cp932": ("shift_jis", 0x81, 0x98),
    "euc_j": ("shift_jis", 0x81, 0x98), "gb": ("gb2312", 0xA1, 0xD7),
    "big5": ("big5", 0xA1, 0xC6), "cp950": ("big5", 0xA1, 0xC6),
    "cp949": ("euc_kr", 0xA1, 0xC8), "euc_kr": ("euc_kr", 0xA1, 0xC8),
}
# Variants named for the same text: the common name when it decodes the sample alike.
_PLAIN = {"euc_jis_2004": "euc_jp", "euc_jisx0213": "euc_jp", "shift_jis_2004": "shift_jis",
          "shift_jisx0213": "shift_jis"}


def _non_latin(sample: bytes, high: int) -> Guess | None:
    import charset_normalizer  # only legacy files pay for its import

    fits = []  # (match, codec, doubt)
    tried: list[str] = []
    # Some releases of the detector stop at the first clean-looking reading; when every reading
    # it offers fails the checks below, it is asked again without them.
    for _ in range(NON_LATIN_ROUNDS):
        # A lenient threshold: quotes and dashes around CJK text make it look messy, and the
        # checks below are stricter than the detector's.
        found = list(charset_normalizer.from_bytes(sample, threshold=0.5, cp_exclusion=tried or None))
        for m in found:
            tried.append(m.encoding)
            codec = _python_name(m.encoding)
            if codec is None or codec in WESTERN + CENTRAL or codec.startswith("utf"):
                continue
            try:
                text = sample.decode(codec)
            except (UnicodeDecodeError, LookupError):
                continue
            doubt = _nonsense(text, codec)
            if doubt is None or doubt == CASELESS:
                plain = _PLAIN.get(codec)
                if plain and sample.decode(plain, "replace") == text:
                    codec = plain
                fits.append((m, codec, doubt))
        if fits or not found:
            break
    if not fits:
        return None
    # Among single-byte readings about as clean as the first, one clearly more like its language
    # wins (the detector knows no CJK language: its coherence there is 0); an uncased script
    # (Hebrew, Arabic) read as a cased one has no capitals at all.
    m, codec, doubt = fits[0]
    near = [f for f in fits if f[0].chaos <= m.chaos + 0.05 and _single_byte(f[1])]
    uncased = [f for f in near if f[2] is None and _script_of(sample, f[1]) not in _CASED]
    if doubt == CASELESS and uncased:
        m, codec, _ = max(uncased, key=lambda f: f[0].coherence)
    elif _single_byte(codec) and max(f[0].coherence for f in near) > m.coherence + 0.2:
        m, codec, _ = max(near, key=lambda f: f[0].coherence)
    close = any(f[0].chaos <= m.chaos + 0.02 for f in fits if f[1] != codec)
    confidence = 0.55 + 0.4 * min(1.0, high / 128) * (1 - min(1.0, 4 * m.chaos)) - 0.15 * close
    language = f", {m.language}" if m.language and m.language != "Unknown" else ""
    return Guess(codec, round(max(0.5, confidence), 2),
                 f"charset-normalizer reads its {_count(high)} non-ASCII bytes as "
                 f"{NAMES.get(codec, codec)}{language}, in words of one script")


def _single_byte(codec: str) -> bool:
    return len(_HIGH.decode(codec, "replace")) == len(_HIGH)


def _script_of(sample: bytes, codec: str) -> str:
    """The script of most letters in the sample read with `codec`."""
    counts = collections.Counter(_script(c) for c in sample.decode(codec, "replace")
                                 if c.isalpha() and not c.isascii())
    return counts.most_common(1)[0][0] if counts else "LATIN"


def _python_name(name: str) -> str | None:
    try:
        info = codecs.lookup(name)
    except LookupError:
        return None
    ascii_ = bytes(range(128))
    try:
        if ascii_.decode(info.name) != ascii_.decode("ascii"):  # EBCDIC and the like: never CSV
            return None
    except UnicodeError:
        return None
    return info.name


def _script(c: str) -> str:
    """The script of a letter; Japanese kanji and kana (and full-width forms) count as one."""
    name = unicodedata.name(c, "")
    if name.startswith(("CJK", "HIRAGANA", "KATAKANA", "IDEOGRAPHIC", "FULLWIDTH")):
        return "HAN"
    if "HANGUL" in name:
        return "HANGUL"
    return name.split(" ", 1)[0]  # LATIN, CYRILLIC, GREEK, HEBREW, ARABIC, THAI, HALFWIDTH...


def _nonsense(text: str, codec: str) -> str | None:
    """Why the decoded text is not a plausible text in its script, or None."""
    words = [w for w in re.findall(r"[^\W\d_]+", text) if not w.isascii()]
    if not words:
        return "no word"
    # Words may join ASCII to another script (Japanese has no spaces: "XMLファイル"), but an
    # accented Latin word read in another single-byte code page has one odd letter inside:
    # "Besanзon". (Read as CJK, accents land on rare characters, checked below.)
    inside = [c for c in _INSIDE.findall(text) if _script(c) not in ("HAN", "HANGUL")]
    if len(inside) * 10 > len(words):
        return "single letters inside Latin words"
    scripts = [{_script(c) for c in w if not c.isascii()} for w in words]
    # Japanese joins ASCII words to its own ("XMLファイル"); other scripts' words hold no Latin
    # letter, which is what Turkish read as Windows-1251 or 1256 gives ("зьnkь", "اanakkale").
    mixed = [len(s) > 1 or (not s & _JOINS_ASCII and s != {"LATIN"}
                            and _LATIN_LETTER.search(w) is not None)
             for s, w in zip(scripts, words)]
    if sum(mixed) * 10 > len(words):
        return "words mix scripts"
    if sum(s == {"LATIN"} for s in scripts) * 2 > len(words):
        return "Latin script, which the Latin code pages decide"
    letters = [c for w in words for c in w if not c.isascii()]
    if len(letters) < 1.5 * len(words):
        return "letters stand alone"
    cjk = [c for c in letters if _script(c) in ("HAN", "HANGUL", "HALFWIDTH")]
    if cjk:
        # Half-width kana and lone Hangul letters: what kana and kanji become in a wrong reading
        if sum(_script(c) == "HALFWIDTH" or "\u3130" <= c <= "\u318f" for c in cjk) * 5 > len(cjk):
            return "odd CJK forms"
        rows = next((v for k, v in _COMMON_CJK.items() if codec.startswith(k)), None)
        if rows and sum(_common(c, *rows) for c in cjk) < 0.7 * len(cjk):
            return "rare CJK characters"
    cased = [w for w in words if _script(w[-1]) in _CASED]
    if len(cased) >= 4 and not any(w[0].isupper() for w in cased):
        return CASELESS
    return None


_LATIN_LETTER = re.compile(r"[A-Za-z]")
_JOINS_ASCII = {"HAN", "HANGUL", "HALFWIDTH"}
_INSIDE = re.compile(r"(?<=[A-Za-z])[^\x00-\x7f](?=[A-Za-z])")


def _common(c: str, codec: str, first: int, last: int) -> bool:
    try:
        raw = c.encode(codec)
    except UnicodeEncodeError:
        return False
    return len(raw) == 2 and first <= raw[0] <= last


def _count(n: int) -> str:
    return f"{n:,}"
