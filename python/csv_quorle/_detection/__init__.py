"""How a table was written, found from samples of its text: `text` decodes the head and tail,
`split` cuts lines into records, `cells` tells numbers and dates from text, `dialects` ranks the
candidate delimiters and quotes, `layout` finds the header, preamble, footer and column count.
`csv_quorle.detect` (in _detect.py) puts them together."""
