"""The docs are run: every block of README.md and docs/*.md fenced as ```sh or
```python runs here, read from the pages themselves.

Each page runs in a scratch folder of its own, where the shared map extracts
are reachable by their file names, `velorin` and `.venv/bin/{velorin,python}`
are this interpreter's, and `examples/` is the repository's. The blocks of a
page run in order and share the folder. An sh block runs command by command (a
command ends at a line that neither ends with a backslash nor leaves a quote
open); a python block runs as a script, or as a doctest when it shows a session
(`>>>`), whose printed results and errors must then match. Every file that a
command or script names with an output suffix (.json, .geojson, .png, .html,
.csv, .gpx) must exist afterwards and be valid, and so must every such file in
the folder at the end. `velorin serve` runs in the background on a free
loopback port until the end of its block, while the block's curl lines ask it;
it must leave no process behind. The few commands that are not run here are in
NOT_RERUN, each with its reason; what they name is checked instead. Blocks
shown but not meant to run are tagged text or json.
"""

from __future__ import annotations

import importlib.util
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time
import tomllib
import urllib.error
import urllib.request
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from xml.etree import ElementTree

import pytest

from shared_data import DATA, REPO

PAGES = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
RUN = {"sh", "python"}
SHOWN = {"text", "json"}
# Whole commands: a map load under the sanitizers or qemu takes many times longer.
TIMEOUT = 900 if os.environ.get("VELORIN_TEST_LIGHT") else 300
OUTPUT = r"(?:geojson|json|png|html|csv|gpx)"
EXTRACT = re.compile(r"[\w.-]+\.osm\.(?:pbf|bz2|gz)\b")

#: Commands shown in the docs that this suite does not run, and why. What
#: they name is still checked: a make target must exist with the variables
#: shown (`make -n`), a pip extra must be declared, a built program must have
#: its source in the repository.
NOT_RERUN = {
    "make test": "it is the command that runs this suite",
    "make install": "this suite runs on the package that it installed",
    "make test-asan": "CI runs it as a step of its own: this suite again, under the sanitizers",
    "make test-armhf": "CI runs it as a step of its own: a cross build, then qemu for minutes",
    "make test-armhf-python": "CI runs it as a step of its own: this suite again, under qemu",
    "make fuzz-ci": "CI runs it as a step of its own: a clang build, then 90 s of fuzzing",
    "make fuzz": "it fuzzes for as long as it is told, an hour in the docs",
    "pip install": "this suite runs with the package and its extras installed",
    "bench/": "a benchmark measures for as long as it takes; its script must exist and take "
              "the options shown",
    "build/": "it runs a program of a build that this suite does not make (fuzzers, armhf)",
}


@dataclass(frozen=True)
class Block:
    page: Path
    line: int  # of the opening fence
    lang: str
    text: str

    def where(self, line: int | None = None) -> str:
        return f"{self.page.relative_to(REPO)}:{line or self.line}"


def blocks(page: Path) -> list[Block]:
    """The fenced blocks of a Markdown page, with their language tag."""
    found: list[Block] = []
    opening: tuple[int, str, str, list[str]] | None = None
    for n, line in enumerate(page.read_text(encoding="utf-8").splitlines(), 1):
        fence = re.match(r"^ {0,3}(`{3,}|~{3,})\s*([^`\s]*)", line)
        if opening is None:
            if fence:
                opening = (n, fence[1], fence[2], [])
        elif fence and fence[1].startswith(opening[1]) and not line.strip().strip(fence[1][0]):
            found.append(Block(page, opening[0], opening[2], textwrap.dedent("\n".join(opening[3]))))
            opening = None
        else:
            opening[3].append(line)
    assert opening is None, f"{page.relative_to(REPO)}:{opening[0]}: a fence is never closed"
    return found


def commands(block: Block) -> Iterator[tuple[int, str]]:
    """An sh block's commands with their first line: a trailing backslash or
    an open quote carries a command on to the next line."""
    pending: list[str] = []
    first = 0
    for n, line in enumerate(block.text.splitlines(), block.line + 1):
        if not pending:
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            first = n
        pending.append(line)
        text = "\n".join(pending)
        if text.endswith("\\"):
            continue
        try:
            words(text)
        except ValueError:  # a quote still open
            continue
        yield first, text
        pending = []
    assert not pending, f"{block.where(first)}: the command never ends"


def words(command: str) -> list[str]:
    return shlex.split(command.replace("\\\n", " "), comments=True)


def named_outputs(text: str, quoted: bool) -> list[str]:
    """Files that a command (or, `quoted`, a script's string literals) names with an output suffix."""
    text = re.sub(r"\S*://\S*", "", text)
    if quoted:
        return re.findall(rf"""["']([^"'\s]+\.{OUTPUT})["']""", text)
    return re.findall(rf"(?<![\w/.-])((?:[\w.-]+/)*[\w-][\w.-]*\.{OUTPUT})\b", text)


def check_output(path: Path, where: str) -> None:
    """An output file that exists, is not empty and reads as its kind."""
    assert path.is_file(), f"{where}: {path.name} was not written"
    data = path.read_bytes()
    assert data.strip(), f"{where}: {path.name} is empty"
    suffix = path.suffix
    if suffix in (".json", ".geojson"):
        doc = json.loads(data)
        if suffix == ".geojson":
            assert doc.get("type") in ("FeatureCollection", "Feature"), f"{where}: {path.name}"
            assert doc.get("features", [doc]), f"{where}: {path.name} has no feature"
    elif suffix == ".png":
        assert data.startswith(b"\x89PNG\r\n\x1a\n"), f"{where}: {path.name} is not a PNG"
    elif suffix == ".html":
        head = data[:4096].lower()
        assert b"<html" in head or b"<!doctype html" in head, f"{where}: {path.name} is not HTML"
        assert b"<body" in data.lower() or b"<script" in data.lower(), f"{where}: {path.name}"
    elif suffix == ".gpx":
        ElementTree.fromstring(data)
    elif suffix == ".csv":
        assert b"," in data.splitlines()[0], f"{where}: {path.name} has no header"


class Page:
    """A page's scratch folder and the environment its blocks run in."""

    def __init__(self, scratch: Path) -> None:
        self.scratch = scratch
        for extract in DATA.iterdir() if DATA.is_dir() else ():
            (scratch / extract.name).symlink_to(extract)
        (scratch / "examples").symlink_to(REPO / "examples")
        env = dict(os.environ, MPLBACKEND="Agg", PYTHONDONTWRITEBYTECODE="1")
        # Under the sanitizers their runtime is preloaded into the Python
        # processes only: the shell, make and curl would report their own leaks.
        preload = env.pop("LD_PRELOAD", "")
        bin_dir = scratch / ".venv" / "bin"
        bin_dir.mkdir(parents=True)
        installed = Path(sys.executable).parent / "velorin"
        velorin = shlex.quote(str(installed)) if installed.exists() else \
            f"{shlex.quote(sys.executable)} -m velorin"
        for name, target in (("python", shlex.quote(sys.executable)), ("velorin", velorin)):
            shim = bin_dir / name
            shim.write_text("#!/bin/sh\n" + (f"export LD_PRELOAD={shlex.quote(preload)}\n"
                                             if preload else "") + f'exec {target} "$@"\n')
            shim.chmod(0o755)
        env["PATH"] = f"{bin_dir}{os.pathsep}{env['PATH']}"
        self.env = env
        self.python = str(bin_dir / "python")
        self.skipped: list[str] = []  # blocks left out for a missing optional dependency

    def run(self, argv: list[str], where: str) -> str:
        try:
            done = subprocess.run(argv, cwd=self.scratch, env=self.env, capture_output=True,
                                  text=True, timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            pytest.fail(f"{where}: still running after {TIMEOUT} s: {shlex.join(argv)}")
        assert done.returncode == 0, (f"{where}: exit status {done.returncode}: {shlex.join(argv)}\n"
                                      f"{done.stdout[-3000:]}\n{done.stderr[-3000:]}")
        return done.stdout

    def run_sh(self, block: Block) -> None:
        server: Server | None = None
        try:
            for line, command in commands(block):
                where = block.where(line)
                argv = words(command)
                if not_rerun(argv, where, self):
                    continue
                if Path(argv[0]).name == "velorin" and argv[1:2] == ["serve"]:
                    assert server is None, f"{where}: a second server in one block"
                    missing = [m for m in ("starlette", "uvicorn") if not importlib.util.find_spec(m)]
                    missing += [] if shutil.which("curl") else ["curl"]
                    if missing:  # e.g. the sanitizer run, which installs .[test,maps] only
                        self.skipped.append(f"{where} needs {', '.join(missing)}")
                        return
                    server = Server(argv, self, where)
                elif argv[0] == "curl":
                    assert server is not None, f"{where}: curl with no velorin serve before it"
                    body = self.run(["curl", "-sS", "--fail", "--max-time", "120",
                                     *words(server.local(command))[1:]], where)
                    if body.lstrip().startswith(("{", "[")):
                        json.loads(body)
                elif argv[0] == "make":
                    self.make(argv, where)
                else:
                    self.run(["bash", "-c", command], where)
                for name in named_outputs(command, quoted=False):
                    check_output(self.scratch / name, where)
        finally:
            if server is not None:
                server.stop()

    def make(self, argv: list[str], where: str) -> None:
        """`make demo` runs the Makefile's own recipe on this interpreter;
        a dry run (`make -n`) runs in the repository."""
        if "-n" in argv:
            self.run(["make", "-C", str(REPO), *argv[1:]], where)
            return
        targets = [a for a in argv[1:] if not a.startswith("-") and "=" not in a]
        assert targets == ["demo"], f"{where}: {shlex.join(argv)} is neither run here nor in NOT_RERUN"
        self.run(["make", "-f", str(REPO / "Makefile"), "-o", "install", f"VPY={self.python}",
                  *argv[1:]], where)

    def run_python(self, block: Block) -> None:
        script = self.scratch / f"block_{block.line}.py"
        if block.text.lstrip().startswith(">>>"):
            script.write_text(DOCTEST.format(text=doctest_text(block.text), name=block.where()))
        else:
            script.write_text(block.text)
        self.run([self.python, script.name], block.where())
        for name in named_outputs(block.text, quoted=True):
            check_output(self.scratch / name, block.where())


def not_rerun(argv: list[str], where: str, page: Page) -> bool:
    """True for a command of NOT_RERUN, once what it names checks out."""
    env = page.env
    if argv[0] == "make" and "-n" not in argv:
        target = next((a for a in argv[1:] if not a.startswith("-") and "=" not in a), "")
        if f"make {target}" not in NOT_RERUN:
            return False
        dry = subprocess.run(["make", "-C", str(REPO), "-n", *argv[1:]], env=env,
                             capture_output=True, text=True, timeout=60)
        assert dry.returncode == 0, f"{where}: {shlex.join(argv)}: {dry.stderr[-2000:]}"
        return True
    if argv[:2] == ["pip", "install"]:
        project = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]
        for requirement in argv[2:]:
            name, _, extras = requirement.partition("[")
            assert name == project["name"], f"{where}: {requirement} is not this package"
            for extra in filter(None, extras.rstrip("]").split(",")):
                assert extra.strip() in project["optional-dependencies"], f"{where}: no extra {extra}"
        return True
    bench = next((a for a in argv if re.fullmatch(r"bench/[\w-]+\.py", a)), None)
    if bench is not None:
        assert (REPO / bench).exists(), f"{where}: {bench} does not exist"
        usage = page.run([page.python, str(REPO / bench), "--help"], where)
        for option in (a.split("=")[0] for a in argv if a.startswith("--")):
            assert re.search(rf"{re.escape(option)}\b", usage), f"{where}: {bench} has no {option}"
        return True
    built = [a for a in argv if a.startswith("build/")]
    if not built:
        return False
    for program in built:
        stem = Path(program).name
        sources = [REPO / d / f"{stem}.cpp" for d in ("bench", "tools", "tests/fuzz")]
        assert any(s.exists() for s in sources), f"{where}: no program {stem} is built"
    for path in argv:
        if re.match(r"(tools|bench|examples|tests)/", path):
            assert (REPO / path).exists(), f"{where}: {path} does not exist"
    return True


class Server:
    """`velorin serve` as a page shows it, on a free loopback port."""

    def __init__(self, argv: list[str], page: Page, where: str) -> None:
        for option in ("--port", "--host"):
            if option in argv:
                del argv[argv.index(option):argv.index(option) + 2]
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.where = where
        self.log = page.scratch / f"serve_{self.port}.log"
        with self.log.open("wb") as log:
            self.process = subprocess.Popen([*argv, "--host", "127.0.0.1", "--port", str(self.port)],
                                            cwd=page.scratch, env=page.env, stdout=log,
                                            stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + TIMEOUT
        while True:
            if self.process.poll() is not None:
                pytest.fail(f"{where}: the server ended ({self.process.returncode}):\n{self.tail()}")
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/health", timeout=5) as r:
                    if r.status == 200:
                        return
            except (OSError, urllib.error.URLError):
                pass
            if time.monotonic() > deadline:
                self.stop()
                pytest.fail(f"{where}: no answer on /health within {TIMEOUT} s:\n{self.tail()}")
            time.sleep(0.2)

    def local(self, command: str) -> str:
        """The command with the page's address replaced by this server's."""
        return re.sub(r"(?<=://)(?:127\.0\.0\.1|localhost)(?::\d+)?", f"127.0.0.1:{self.port}",
                      command)

    def tail(self) -> str:
        return self.log.read_text(errors="replace")[-3000:]

    def stop(self) -> None:
        """SIGTERM as from a terminal's owner; the server and its workers must
        all be gone within seconds, or they are killed and the page fails."""
        group = self.process.pid
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                os.killpg(group, signal.SIGKILL)
                self.process.wait()
                pytest.fail(f"{self.where}: the server did not stop on SIGTERM:\n{self.tail()}")
        deadline = time.monotonic() + 10
        while True:
            try:
                os.killpg(group, 0)
            except ProcessLookupError:
                return
            if time.monotonic() > deadline:
                os.killpg(group, signal.SIGKILL)
                pytest.fail(f"{self.where}: processes of the server outlived it:\n{self.tail()}")
            time.sleep(0.1)


DOCTEST = """\
import doctest, sys
test = doctest.DocTestParser().get_doctest({text!r}, {{}}, {name!r}, None, 0)
runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
runner.run(test)
sys.exit(1 if runner.failures else 0)
"""


def doctest_text(text: str) -> str:
    """A shown session as a doctest: an error shown as its last line gets
    the traceback header that doctest expects before it."""
    out: list[str] = []
    for line in text.splitlines():
        if (re.match(r"[A-Za-z_][\w.]*(Error|Exception|Exit|Interrupt|Warning): ", line)
                and out and out[-1].startswith((">>>", "..."))):
            out.append("Traceback (most recent call last):")
            out.append("    ...")
        out.append(line)
    return "\n".join(out) + "\n"


def run_blocks(page: Path) -> list[Block]:
    return [b for b in blocks(page) if b.lang in RUN]


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_every_block_is_tagged_as_run_or_shown(page):
    """An untagged block, or one tagged bash, console, py, ..., would be
    skipped silently: each says whether it runs (sh, python) or is shown."""
    for block in blocks(page):
        assert block.lang in RUN | SHOWN, (
            f"{block.where()}: tag the block sh or python (run by tests/test_docs.py) "
            f"or {' or '.join(sorted(SHOWN))} (shown only), not {block.lang or 'nothing'!r}")


#: Pages that show what the code cannot do today, with the fault; strict, so
#: that the entry must go once the fault is fixed.
BROKEN: dict[str, str] = {}


@pytest.mark.parametrize("page", [
    pytest.param(p, marks=pytest.mark.xfail(reason=BROKEN[p.name], strict=True))
    if p.name in BROKEN else p for p in PAGES if run_blocks(p)], ids=lambda p: p.name)
def test_page_runs(page, tmp_path):
    runnable = run_blocks(page)
    needed = {n for b in runnable for n in EXTRACT.findall(b.text)}
    missing = sorted(n for n in needed if not (DATA / n).exists())
    if missing:
        pytest.skip(f"{', '.join(missing)} not found in {DATA}")
    scratch = Page(tmp_path)
    for block in runnable:
        if block.lang == "sh":
            scratch.run_sh(block)
        else:
            scratch.run_python(block)
    for path in tmp_path.rglob("*"):
        if (re.fullmatch(rf"\.{OUTPUT}", path.suffix) and not path.is_symlink()
                and ".venv" not in path.parts):
            check_output(path, f"{page.relative_to(REPO)}: {path.relative_to(tmp_path)}")
    if scratch.skipped:
        pytest.skip("the rest ran; left out: " + "; ".join(scratch.skipped))
