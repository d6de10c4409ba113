"""The command examples of README.md and docs/*.md, run against a kit.

Console lines with their answer (`COMMAND -> ANSWER`), the batch runs with
the scripts the same page shows (a block that begins `# NAME.txt`), and the
`python3 -m evalpanel` lines: so the pages cannot drift from the program.
"""
import os
import re
import shlex
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]

ANSWERED = re.compile(r"^(\S.*?)\s+-> (.+)$")
INLINE = re.compile(r"`([^`]+)` -> `([^`]+)`")
SCRIPT = re.compile(r"^# (\S+\.txt)\b")
BATCH = re.compile(r"^(build/evalpanel/)?evalpanel-virtual\b.*--batch")
CLIENT = re.compile(r"python3 -m evalpanel((?: .*)?)$")


def code_blocks(text):
    """Indented (4 spaces or more, after a blank line) and fenced blocks,
    dedented, each cut into its paragraphs; a YAML step gives its `run`."""
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        if lines[i].lstrip().startswith("```"):
            j = i + 1
            while j < len(lines) and not lines[j].lstrip().startswith("```"):
                j += 1
            block = textwrap.dedent("\n".join(lines[i + 1:j]))
            run = re.search(r"run: \|\n((?:[ \t]+.*\n?)+)", block)
            yield i + 2, textwrap.dedent(run.group(1)) if run else block
            i = j + 1
            continue
        if re.match(r" {4,}\S", lines[i]) and (i == 0 or not lines[i - 1].strip()):
            j = i
            while j < len(lines) and (not lines[j].strip() or re.match(r" {4,}", lines[j])):
                j += 1
            start = i
            for paragraph in re.split(r"\n\s*\n", textwrap.dedent("\n".join(lines[i:j]))):
                if paragraph.strip():
                    yield start + 1, paragraph.strip("\n")
                start += paragraph.count("\n") + 2
            i = j
            continue
        i += 1


def examples(kind):
    for page in PAGES:
        text = page.read_text()
        if kind == "answered":
            for n, line in enumerate(text.splitlines(), 1):
                for m in INLINE.finditer(line):
                    yield pytest.param(m.group(1), m.group(2), id=f"{page.name}:{n}")
        for n, block in code_blocks(text):
            for k, line in enumerate(block.splitlines()):
                where = f"{page.name}:{n + k}"
                if kind == "answered" and ANSWERED.match(line):
                    m = ANSWERED.match(line)
                    yield pytest.param(m.group(1), m.group(2).strip(), id=where)
                elif kind == "client" and CLIENT.search(line):
                    yield pytest.param(shlex.split(CLIENT.search(line).group(1)), id=where)
            if kind == "batch" and any(BATCH.match(line) for line in block.splitlines()):
                scripts = {SCRIPT.match(b).group(1): b + "\n"
                           for _, b in code_blocks(text) if SCRIPT.match(b)}
                yield pytest.param(block, scripts, id=f"{page.name}:{n}")


ANSWERED_EXAMPLES = list(examples("answered"))
BATCH_EXAMPLES = list(examples("batch"))
CLIENT_EXAMPLES = list(examples("client"))


def test_the_pages_have_examples():
    # The patterns above still find what the pages show.
    assert (len(ANSWERED_EXAMPLES), len(BATCH_EXAMPLES), len(CLIENT_EXAMPLES)) >= (4, 3, 3)


@pytest.mark.parametrize("command, answer", ANSWERED_EXAMPLES)
def test_console_answer(evalpanel_virtual, command, answer):
    with evalpanel_virtual.console() as c:
        c.command("PIN_VIO_SYS = 1")
        assert c.command(command)[0] == answer


@pytest.mark.parametrize("block, scripts", BATCH_EXAMPLES)
def test_batch_run(evalpanel_virtual, tmp_path, block, scripts):
    folder = tmp_path / "batch"
    folder.mkdir()
    for name, text in scripts.items():
        (folder / name).write_text(text)
    # Each run of the program is recorded; none may fail.
    statuses = folder / "statuses"
    shell = (
        f'evalpanel-virtual() {{ {shlex.quote(str(evalpanel_virtual.binary))} '
        f'--kit-port 0 --console-port 0 --no-session-log "$@"; s=$?; '
        f'echo $s >> {shlex.quote(str(statuses))}; return $s; }}\n'
        + block.replace("build/evalpanel/evalpanel-virtual", "evalpanel-virtual"))
    run = subprocess.run(["bash", "-c", shell], cwd=folder, capture_output=True, text=True,
                         timeout=60, env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    assert statuses.exists(), run.stderr
    assert set(statuses.read_text().split()) == {"0"}, run.stdout + run.stderr


@pytest.mark.parametrize("arguments", CLIENT_EXAMPLES)
def test_client_line(evalpanel_virtual, arguments):
    port = evalpanel_virtual.kit_port if "--kit" in arguments else evalpanel_virtual.console_port
    run = subprocess.run([sys.executable, "-m", "evalpanel", "--port", str(port), *arguments],
                         capture_output=True, text=True, timeout=30,
                         env=dict(os.environ, PYTHONPATH=str(ROOT / "python")))
    assert run.returncode == 0, run.stdout + run.stderr
