"""The command's name and exit statuses, shared by the parser and the commands' work."""

PROG = "csv-quorle"

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_QUARANTINE = 0, 1, 2, 3
EXIT_INTERRUPTED, EXIT_TERMINATED = 130, 143  # 128 + SIGINT, 128 + SIGTERM
