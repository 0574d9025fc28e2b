"""Runs each tool over an image and lists what it put out.

Every tool is timed as a whole process (wall clock, image in the page cache).
The outputs of a run are listed as Output records: where on the image the tool
says the file starts (when it says so), its length, and how to read its bytes.
"""

import json
import os
import re
import shutil
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path


@dataclass
class Output:
    path: str            # file written by the tool, or "" when the bytes are a slice of the image
    start: int | None    # byte offset on the image where the tool says the file starts
    length: int
    ext: str             # lower-case extension the tool gave it
    embedded: bool = False  # the tool took it from inside another file it found (a thumbnail)
    reassembled: bool = False  # brightfold put it together from pieces a file system's entry gave
    named: bool = False     # brightfold saved it under the name and folder a file system's entry gave

    def read(self, image_view) -> bytes:
        if self.path:
            return Path(self.path).read_bytes()
        return image_view[self.start:self.start + self.length]

    def head(self, image_view, count=512) -> bytes:
        if self.path:
            with open(self.path, "rb") as handle:
                return handle.read(count)
        return image_view[self.start:self.start + min(count, self.length)]


def timed(argv, cwd=None) -> float:
    began = time.perf_counter()
    done = subprocess.run([str(a) for a in argv], cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - began
    if done.returncode != 0:
        raise SystemExit(f"compare: {' '.join(map(str, argv))} failed ({done.returncode}): "
                         f"{done.stderr.decode(errors='replace')[-1500:]}")
    return elapsed


def fresh(folder: Path) -> Path:
    shutil.rmtree(folder, ignore_errors=True)
    folder.parent.mkdir(parents=True, exist_ok=True)
    return folder


def _walk(folder: Path, skip=()):
    for root, _, names in os.walk(folder):
        for name in sorted(names):
            if name in skip:
                continue
            yield Path(root) / name


def _sector_name(path: Path, pattern: str) -> int | None:
    match = re.match(pattern, path.name)
    return int(match.group(1)) * 512 if match else None


class RawRead:
    name = "raw read"

    def command(self, image, work):
        return ["dd", f"if={image}", "of=/dev/null", "bs=16M"]

    def run(self, image, work):
        return timed(self.command(image, work))


class Brightfold:
    """`brightfold scan` (catalog only, as the application scans) and `brightfold save` of everything found."""
    name = "brightfold"

    def __init__(self, binary: Path):
        self.binary = binary

    def command(self, image, work):
        return [self.binary, "scan", image, "--out", work / "scan"]

    def save_command(self, image, work):
        return [self.binary, "save", work / "scan" / "brightfold-report.json", "--source", image, "--to", work / "saved"]

    def run(self, image, work):
        fresh(work / "scan")
        return timed(self.command(image, work))

    def save(self, image, work):
        fresh(work / "saved")
        return timed(self.save_command(image, work))

    def outputs(self, image, work):
        # A file saved under its original folder and name is found in the scan report
        # by that path; the others by their sector names.
        named = {}
        report = json.loads((work / "scan" / "brightfold-report.json").read_text())
        for file in report["files"]:
            if "name" in file:
                path = "/".join(part for part in file.get("folder", "").split("/") + [file["name"]] if part)
                named[path] = file
        found = []
        for path in _walk(work / "saved", skip={"brightfold-report.json"}):
            record = named.get(str(path.relative_to(work / "saved")))
            if record:
                found.append(Output(str(path), record["start"], path.stat().st_size, record["ext"],
                                    reassembled="runs" in record, named=True))
            else:
                found.append(Output(str(path), _sector_name(path, r"f(\d+)"), path.stat().st_size, path.suffix[1:].lower()))
        return found


def plain_copy(image: Path, work: Path) -> float:
    """Copies the byte ranges that the last scan found into files with
    copy_file_range, nothing else: the floor for `brightfold save` on this machine."""
    report = json.loads((work / "scan" / "brightfold-report.json").read_text())
    target = fresh(work / "copied")
    began = time.perf_counter()
    target.mkdir()
    with image.open("rb") as source:
        for index, entry in enumerate(report["files"]):
            with (target / f"{index}.bin").open("wb") as out:
                offset, left = entry["start"], entry["length"]
                while left > 0:
                    done = os.copy_file_range(source.fileno(), out.fileno(), left, offset, None)
                    if done <= 0:
                        break
                    offset += done
                    left -= done
    return time.perf_counter() - began


class PhotoRec:
    """PhotoRec in batch mode: every file type enabled, the whole partition searched
    (not only free space), its other options at their defaults."""
    name = "photorec"
    script = "fileopt,everything,enable,wholespace,search"

    def command(self, image, work):
        return ["photorec", "/log", "/d", work / "recup", "/cmd", image, self.script]

    def run(self, image, work):
        fresh(work)
        work.mkdir(parents=True)
        return timed(self.command(image, work), cwd=work)  # photorec.log goes to the working folder

    def outputs(self, image, work):
        found = []
        for folder in sorted(work.glob("recup.*")):
            for path in _walk(folder, skip={"report.xml"}):
                # f<sector>[_name].<ext>, the sector counted from the partition, which starts at 0 here;
                # t<sector>.jpg is the Exif thumbnail of the photo that starts at that sector
                thumbnail = path.name.startswith("t")
                found.append(Output(str(path), None if thumbnail else _sector_name(path, r"[a-z]?(\d+)"),
                                    path.stat().st_size, path.suffix[1:].lower(), embedded=thumbnail))
        return found


class Foremost:
    """foremost with every built-in file type (-t all)."""
    name = "foremost"

    def command(self, image, work):
        return ["foremost", "-t", "all", "-i", image, "-o", work / "out"]

    def run(self, image, work):
        fresh(work)
        work.mkdir(parents=True)
        return timed(self.command(image, work))

    def outputs(self, image, work):
        # Files are named by the 512-byte sector they start in; the audit has the exact byte offset.
        offsets = {}
        line = re.compile(r"^\d+:\s+(\S+)\s+.*?\s(\d+)\s*(\(.*\))?\s*$")
        for text in (work / "out" / "audit.txt").read_text(errors="replace").splitlines():
            match = line.match(text)
            if match:
                offsets[match.group(1)] = int(match.group(2))
        return [Output(str(path), offsets.get(path.name, _sector_name(path, r"(\d+)")), path.stat().st_size,
                       path.suffix[1:].lower()) for path in _walk(work / "out", skip={"audit.txt"})]


def scalpel_config(work: Path) -> Path:
    """The system's scalpel.conf with every rule uncommented."""
    rule = re.compile(r"^#(\s*)(\S+\s+[yYnN]\s+\d+\s+\S.*)$")
    lines = []
    for line in Path("/etc/scalpel/scalpel.conf").read_text(errors="replace").splitlines():
        match = rule.match(line)
        lines.append("\t" + match.group(2) if match else line)
    config = work / "scalpel-every-rule.conf"
    config.write_text("\n".join(lines) + "\n")
    return config


class Scalpel:
    """scalpel with every rule of /etc/scalpel/scalpel.conf uncommented, run in
    preview mode (-p): it searches and writes its audit of every file it would
    carve, start and length, without writing the files. With every rule on it
    would write many gigabytes of two-byte-header matches; a carved file is
    exactly the image bytes its audit line names, so the outputs are read from
    the image."""
    name = "scalpel"

    def __init__(self, config: Path):
        self.config = config

    def command(self, image, work):
        return ["scalpel", "-p", "-c", self.config, "-o", work / "out", image]

    def run(self, image, work):
        fresh(work)
        work.mkdir(parents=True)
        return timed(self.command(image, work))

    def outputs(self, image, work):
        found = []
        line = re.compile(r"^(\S+)\s+(\d+)\s+(YES|NO)\s+(\d+)\s")
        for text in (work / "out" / "audit.txt").read_text(errors="replace").splitlines():
            match = line.match(text)
            if match and "." in match.group(1):
                found.append(Output("", int(match.group(2)), int(match.group(4)), match.group(1).rsplit(".", 1)[1].lower()))
        return found


def command_text(argv) -> str:
    return " ".join(str(a) for a in argv)
