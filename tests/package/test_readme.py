"""README.md's examples run as written: each fenced python, sh, bash or console block, in a
folder of its own holding a copy of the shipped samples (examples/).

- python: saved as a file and run; exit status 0 and no traceback. A ```text block right after it is
  what it prints. A block importing a library that is not installed is skipped, as the tests of
  an optional feature skip themselves.
- sh, bash: run by bash -e; exit status 0.
- console: each `$ ` line is a command; the lines after it, up to the next command (trailing
  blank lines aside), are exactly what it prints (standard output and error together).

Skipped, by their commands: installing (`pip install`, dropped from a `&&` chain so the rest
still runs), the whole test run (`.ci/run`), and the builds and measurements of bench/ (cmake,
bench/ scripts: minutes to hours of work, not examples of use)."""

import ast
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
README = CHECKOUT / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.S | re.M)
RUN_LANGUAGES = ("python", "sh", "bash", "console")


def skipped(command: str) -> bool:
    return (command.strip() == ".ci/run" or command.lstrip().startswith("cmake")
            or re.search(r"(^|\s)(python3? -m bench\.|python3? bench/|build/release/)", command) is not None)


def without_installs(command: str) -> str:
    return " && ".join(part for part in command.split("&&") if "pip install" not in part).strip()


def blocks() -> list:
    """(line, language, body, output shown) of every block that runs."""
    text = README.read_text(encoding="utf-8")
    found = []
    matches = list(FENCE.finditer(text))
    for i, m in enumerate(matches):
        language, body = m.group(1), m.group(2)
        if language not in RUN_LANGUAGES:
            continue
        shown = None
        after = matches[i + 1] if i + 1 < len(matches) else None
        next_to = after is not None and not text[m.end():after.start()].strip()
        if language == "python" and next_to and after.group(1) == "text":
            shown = after.group(2)
        line = text.count("\n", 0, m.start()) + 1
        found.append(pytest.param(language, body, shown, id=f"line{line}-{language}"))
    return found


def console_steps(body: str) -> list[tuple[str, str]]:
    steps: list[tuple[str, list[str]]] = []
    for line in body.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            assert steps, f"output before any command: {line!r}"
            steps[-1][1].append(line)
    return [(command, "\n".join(out).rstrip("\n")) for command, out in steps]


def missing_imports(source: str) -> list[str]:
    names = set()
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            names.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            names.add(node.module.split(".")[0])
    return sorted(name for name in names if importlib.util.find_spec(name) is None)


@pytest.fixture
def folder(tmp_path):
    shutil.copytree(CHECKOUT / "examples", tmp_path / "examples")
    return tmp_path


def shell(command: str, cwd) -> subprocess.CompletedProcess:
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""),
               COLUMNS="100")
    return subprocess.run(["bash", "-e", "-o", "pipefail", "-c", command], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


@pytest.mark.skipif(not README.exists(), reason="README.md is not beside the tests")
@pytest.mark.parametrize("language, body, shown", blocks() if README.exists() else [])
def test_readme_block_runs_as_written(language, body, shown, folder):
    if language == "python":
        if missing := missing_imports(body):
            pytest.skip(f"not installed: {', '.join(missing)}")
        (folder / "example.py").write_text(body, encoding="utf-8")  # a file, as a user saves it
        run = subprocess.run([sys.executable, "example.py"], cwd=folder, capture_output=True, text=True,
                             timeout=300)
        assert run.returncode == 0 and "Traceback" not in run.stderr, run.stderr
        if shown is not None:
            assert run.stdout == shown
        return
    if language in ("sh", "bash"):
        commands = [without_installs(c) for c in body.splitlines() if c.strip() and not c.startswith("#")]
        commands = [c for c in commands if c and not skipped(c)]
        if not commands:
            pytest.skip("installs, runs every test, or builds and measures")
        run = shell("\n".join(commands), folder)
        assert run.returncode == 0, run.stderr
        return
    for command, expected in console_steps(body):
        run = shell(command + " 2>&1", folder)
        assert run.returncode == 0, (command, run.stdout)
        assert run.stdout.rstrip("\n") == expected, command
