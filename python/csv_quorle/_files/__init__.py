"""The files around a call: `inputs` tells plain, compressed and binary inputs apart and unpacks
the compressed ones, `source` finds the source file behind the decoded text, `outputs` resolves
output paths and writes the outputs in place only once complete."""
