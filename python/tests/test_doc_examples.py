"""Runs the examples of README.md and docs/*.md on a kit: `COMMAND -> ANSWER`
console lines, batch runs with the scripts their page shows (a block that
begins `# NAME.txt`) and `python3 -m evalpanel` lines."""
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
BATCH = re.compile(r"^(build/evalpanel/)?evalpanel-virtual\b.*--batch", re.M)
CLIENT = re.compile(r"python3 -m evalpanel((?: .*)?)$")


def code_blocks(text):
    # Paragraphs of indented blocks, fenced blocks (a YAML step's `run`).
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        if lines[i].lstrip().startswith("```"):
            j = next((k for k in range(i + 1, len(lines)) if lines[k].lstrip().startswith("```")),
                     len(lines))
            block = textwrap.dedent("\n".join(lines[i + 1:j]))
            run = re.search(r"run: \|\n((?:[ \t]+.*\n?)+)", block)
            yield i + 2, textwrap.dedent(run.group(1)) if run else block
            i = j + 1
        elif re.match(r" {4,}\S", lines[i]) and (i == 0 or not lines[i - 1].strip()):
            j = i
            while j < len(lines) and (not lines[j].strip() or lines[j].startswith("    ")):
                j += 1
            for paragraph in textwrap.dedent("\n".join(lines[i:j])).split("\n\n"):
                if paragraph.strip():
                    yield i + 1, paragraph.strip("\n")
                i += paragraph.count("\n") + 2
            i = j
        else:
            i += 1


def examples(kind):
    for page in PAGES:
        text = page.read_text()
        blocks = list(code_blocks(text))
        for n, line in enumerate(text.splitlines(), 1):
            for m in INLINE.finditer(line) if kind == "answered" else ():
                yield pytest.param(m.group(1), m.group(2), id=f"{page.name}:{n}")
        for n, block in blocks:
            for k, line in enumerate(block.splitlines()):
                if kind == "answered" and ANSWERED.match(line):
                    yield pytest.param(*ANSWERED.match(line).groups(), id=f"{page.name}:{n + k}")
                if kind == "client" and CLIENT.search(line):
                    yield pytest.param(shlex.split(CLIENT.search(line).group(1)),
                                       id=f"{page.name}:{n + k}")
            if kind == "batch" and BATCH.search(block):
                scripts = {SCRIPT.match(b).group(1): b + "\n" for _, b in blocks if SCRIPT.match(b)}
                yield pytest.param(block, scripts, id=f"{page.name}:{n}")


def test_the_pages_have_examples():
    assert [len(list(examples(k))) for k in ("answered", "batch", "client")] >= [6, 3, 3]


@pytest.mark.parametrize("command, answer", examples("answered"))
def test_console_answer(evalpanel_virtual, command, answer):
    with evalpanel_virtual.console() as c:
        c.command("PIN_VIO_SYS = 1")
        assert c.command(command)[0] == answer


@pytest.mark.parametrize("block, scripts", examples("batch"))
def test_batch_run(evalpanel_virtual, tmp_path, block, scripts):
    for name, text in scripts.items():
        (tmp_path / name).write_text(text)
    # Every run of the program is recorded, and none may fail.
    program = " ".join(shlex.quote(word) for word in evalpanel_virtual.command)
    shell = (f'evalpanel-virtual() {{ {program} --kit-port 0 --console-port 0 --no-session-log '
             f'"$@"; s=$?; echo $s >> statuses; return $s; }}\n'
             + block.replace("build/evalpanel/evalpanel-virtual", "evalpanel-virtual"))
    run = subprocess.run(["bash", "-c", shell], cwd=tmp_path, capture_output=True, text=True,
                         timeout=60, env=evalpanel_virtual.environment)
    statuses = (tmp_path / "statuses").read_text().split()
    assert statuses and set(statuses) == {"0"}, run.stdout + run.stderr


@pytest.mark.parametrize("arguments", examples("client"))
def test_client_line(evalpanel_virtual, arguments):
    port = evalpanel_virtual.kit_port if "--kit" in arguments else evalpanel_virtual.console_port
    run = subprocess.run([sys.executable, "-m", "evalpanel", "--port", str(port), *arguments],
                         capture_output=True, text=True, timeout=30,
                         env=dict(os.environ, PYTHONPATH=str(ROOT / "python")))
    assert run.returncode == 0, run.stdout + run.stderr
