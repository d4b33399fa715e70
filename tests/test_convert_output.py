"""``velorin convert -o``: the output never replaces the extract, keeps its file's mode and
links, reaches the disk before it replaces anything, and leaves no stray temporaries."""

import json
import os
import stat
import subprocess

import pytest

pytest.importorskip("osmium")

from velorin import cli  # noqa: E402

EXTRACT = b"""<?xml version='1.0' encoding='UTF-8'?>
<osm version='0.6'>
 <node id='1' lat='45.0' lon='5.0'/><node id='2' lat='45.001' lon='5.0'/>
 <way id='10'><nd ref='1'/><nd ref='2'/><tag k='highway' v='residential'/></way>
</osm>
"""


@pytest.fixture
def extract(tmp_path):
    path = tmp_path / "town.osm"
    path.write_bytes(EXTRACT)
    return path


def convert(extract, output):
    return cli.main(["convert", str(extract), "-o", str(output), "-q"])


@pytest.mark.parametrize("name", ["itself", "symbolic link", "hard link"])
def test_the_output_may_not_be_the_extract(extract, capsys, name):
    output = {"itself": extract, "symbolic link": extract.with_name("link.json"),
              "hard link": extract.with_name("hard.json")}[name]
    if name == "symbolic link":
        output.symlink_to(extract)
    elif name == "hard link":
        os.link(extract, output)
    assert convert(extract, output) == 1
    assert "is the extract being read" in capsys.readouterr().err
    assert extract.read_bytes() == EXTRACT


def test_an_existing_output_keeps_its_mode_and_reaches_the_disk(extract, monkeypatch):
    output = extract.with_name("graph.json")
    output.write_text("old")
    output.chmod(0o600)
    synced = []
    fsync = os.fsync
    monkeypatch.setattr(os, "fsync", lambda fd: synced.append(
        stat.S_ISDIR(os.fstat(fd).st_mode)) or fsync(fd))
    assert convert(extract, output) == 0
    assert stat.S_IMODE(output.stat().st_mode) == 0o600
    assert len(json.loads(output.read_text())["edges"]) == 2
    assert synced == [False, True]  # the file, then the folder that holds its new name


def test_a_linked_output_is_written_through_its_link(extract):
    real = extract.with_name("real.json")
    real.write_text("old")
    link = extract.with_name("link.json")
    link.symlink_to(real.name)
    assert convert(extract, link) == 0
    assert link.is_symlink() and json.loads(real.read_text())["nodes"]


def test_temporaries_of_killed_writers_are_swept(extract):
    output = extract.with_name("graph.json")
    finished = subprocess.Popen(["true"])  # its process id names a writer that has ended
    finished.wait()
    dead = extract.with_name(f".graph.json.{finished.pid}.x1y2.tmp")
    live = extract.with_name(f".graph.json.{os.getpid()}.z3w4.tmp")
    dead.write_text("partial")
    live.write_text("being written")
    assert convert(extract, output) == 0
    assert not dead.exists() and live.exists()
    assert sorted(p.name for p in extract.parent.iterdir()) == sorted(
        ["town.osm", "graph.json", live.name])
