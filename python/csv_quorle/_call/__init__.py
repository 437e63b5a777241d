"""The path shared by `rescue()` and `read_batches()`: `args` checks each argument, `table`
settles the table (detection overruled by the caller's choices) and builds the report's
warnings, `lines` finds line boundaries in the decoded text."""
