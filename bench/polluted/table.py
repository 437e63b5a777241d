"""The clean source table of the polluted-file benchmark, and how a table is written as CSV text.

The table is a shop's sales log: one sale a row, products drawn from a small catalogue whose
names hold commas, inch marks (`"`), apostrophes and Latin-1 letters, with long descriptions full
of commas. Every character is in Latin-1, so the table survives a Latin-1 export unchanged.
"""

import random

HEADER = [
    "sale date",
    "sale time",
    "product id",
    "unit price",
    "quantity",
    "product name",
    "description",
    "in stock",
]
UNITS = ["dd/mm/yyyy", "hh:mm", "", "EUR", "pcs", "", "", "0/1"]

NAMES = [
    "Men's running shoes, size 42",
    "Women's rain jacket, navy",
    '27" monitor, IPS, 144 Hz',
    '15.6" laptop sleeve, grey',
    'Kids\' "Dino" T-shirt, size 4',
    "Children's book set, 3 volumes",
    "Crème brûlée torch, refillable",
    "Café au lait mug, 12 oz",
    "Garden hose 50', green",
    '55" TV wall mount',
    "Baker's twine, 100 m",
    "Señor Frío ice cube tray",
    "USB-C cable, 2 m",
    "Desk lamp, LED, dimmable",
    "O'Neill beanie, black",
    "Größe 3 gloves, wool",
    "Jalapeño hot sauce, 150 ml",
    "Notebook A5, dotted",
    "Water bottle 0.5 l",
    'Phone stand, up to 7"',
    "Chef's knife 8\", stainless",
    "Men's 32\" belt, brown leather",
]

PHRASES = [
    "ships in recycled packaging",
    "machine washable at 30 °C",
    'fits most 13" to 15" laptops',
    "made in Portugal",
    "two-year warranty",
    "assembled in five minutes, no tools needed",
    "dishwasher safe",
    "available in three colours",
    "customers' favourite since 2015",
    "not suitable for children under 3",
    "batteries not included",
    "soft, breathable and durable",
    "return within 30 days, free of charge",
    "crème colour, matt finish",
    "weight 250 g",
    "certified organic cotton",
    "as seen on TV",
    "the manufacturer's own design",
]


def _catalogue(rng):
    products = []
    for name in NAMES:
        pid = "".join(rng.choice("ABCDEFGHKLMNPRSTVW") for _ in range(2)) + f"-{rng.randrange(1000, 10000)}"
        phrases = rng.sample(PHRASES, rng.randrange(3, 7))
        text = ", ".join(phrases)
        description = text[0].upper() + text[1:] + "."
        price = f"{rng.randrange(199, 39999) / 100:.2f}"
        products.append((pid, name, description, price))
    return products


def source_table(rows=100, seed=2018):
    """(header, records): `rows` sales, the same for the same seed and row count."""
    rng = random.Random(seed)
    products = _catalogue(rng)
    records = []
    day, minute = 0, 0
    for _ in range(rows):
        minute += 15 * rng.randrange(1, 24)
        day += minute // (24 * 60)
        minute %= 24 * 60
        year, rest = 2018 + day // 336, day % 336  # months of 28 days keep the dates valid
        date = f"{rest % 28 + 1:02d}/{rest // 28 + 1:02d}/{year}"
        pid, name, description, price = rng.choice(products)
        records.append(
            [
                date,
                f"{minute // 60:02d}:{minute % 60:02d}",
                pid,
                price,
                str(rng.randrange(1, 13)),
                name,
                description,
                rng.choice("01"),
            ]
        )
    return list(HEADER), records


def quote_field(value, quote='"', escape=None):
    """A field written quoted: the quote inside doubled, or preceded by the escape character."""
    if escape:
        value = value.replace(escape, escape + escape).replace(quote, escape + quote)
    else:
        value = value.replace(quote, quote + quote)
    return quote + value + quote


def render_row(values, delimiter=",", quote='"', escape=None):
    return delimiter.join(quote_field(v, quote, escape) for v in values)


def render_lines(header, records, **dialect):
    """One line of text (without its line break) for the header, when given, and each record."""
    rows = ([header] if header is not None else []) + records
    return [render_row(r, **dialect) for r in rows]
