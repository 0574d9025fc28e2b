"""Card images laid out as a camera leaves them, and their ground truth.

Each image is a FAT file system with 32 KiB clusters, made with mkfs.vfat and
filled with mcopy (mtools); the image is sparse, only the clusters the files
use are written.

  deleted     the files are copied, then three in four are deleted with mdel.
  formatted   the files are copied, a few deleted, then mkfs.vfat runs again
              over the filled image (a quick format: the data area is untouched).
  fragmented  a first batch is copied and every other file of it deleted; then the
              free-cluster hint is cleared, as a camera that allocates from the
              start of the card does, and a second batch fills the holes, so
              files larger than a hole are split; then most files are deleted.

The ground truth is found from the bytes, not from the file system: each file's
first cluster is looked up among the image's clusters, and the rest of the file
is checked against the bytes that follow (contiguous), or looked up cluster by
cluster (fragmented when all are somewhere on the card, partial when some were
overwritten, gone when even the first one was).
"""

import hashlib
import json
import mmap
import os
import random
import struct
import subprocess
from pathlib import Path

CLUSTER = 32 * 1024          # bytes; mkfs.vfat -s 64
HEAD = 512                   # bytes compared to find where a file starts

# FAT32 needs at least 65525 clusters: with 32 KiB clusters that is an image of
# over 2 GiB, which the peers take too long over for three runs of three images
# (foremost alone reads about 20 MB/s). By default the cards are FAT16 with the
# same 32 KiB clusters (as 1 to 2 GB camera cards are), 256 MiB each;
# BRIGHTFOLD_COMPARE_FAT32=1 makes 2100 MiB FAT32 cards instead.
FAT32 = os.environ.get("BRIGHTFOLD_COMPARE_FAT32") == "1"
FAT_BITS = "32" if FAT32 else "16"
IMAGE_SIZE = "2100M" if FAT32 else "256M"

os.environ["MTOOLS_SKIP_CHECK"] = "1"


def _run(argv):
    done = subprocess.run([str(a) for a in argv], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise SystemExit(f"card: {' '.join(map(str, argv))} failed: {done.stderr.decode(errors='replace')[-1000:]}")


def _format(image: Path, label: str):
    _run(["mkfs.vfat", "-F", FAT_BITS, "-s", "64", "-n", label, "-i", "0B41D001", image])


class Card:
    """Copies files onto one image with mtools, creating folders as needed."""

    def __init__(self, image: Path, label: str):
        self.image = image
        self.made = set()
        image.unlink(missing_ok=True)
        _run(["truncate", "-s", IMAGE_SIZE, image])
        _format(image, label)

    def copy(self, item):
        path = ""
        for part in item.folder.split("/"):
            path += "/" + part
            if path not in self.made:
                self.made.add(path)
                subprocess.run(["mmd", "-i", self.image, "::" + path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _run(["mcopy", "-i", self.image, item.source, f"::/{item.folder}/{item.name}"])

    def delete(self, item):
        _run(["mdel", "-i", self.image, f"::/{item.folder}/{item.name}"])

    def forget_next_free(self):
        """Clears the FSInfo next-free hint so that the next copy allocates from the first free cluster."""
        if not FAT32:
            return  # mtools keeps no hint between runs on FAT16: it starts from the first free cluster
        with self.image.open("r+b") as handle:
            boot = handle.read(512)
            fsinfo_sector = struct.unpack_from("<H", boot, 48)[0]
            handle.seek(fsinfo_sector * 512 + 492)
            handle.write(struct.pack("<I", 0xFFFFFFFF))


def _data_start(view) -> int:
    reserved = struct.unpack_from("<H", view, 14)[0]
    fats = view[16]
    root_entries = struct.unpack_from("<H", view, 17)[0]
    fat_sectors = struct.unpack_from("<H", view, 22)[0] or struct.unpack_from("<I", view, 36)[0]
    return (reserved + fats * fat_sectors) * 512 + root_entries * 32


def locate(image: Path, placed: list) -> list:
    """Finds each placed file's bytes on the image; returns the truth records."""
    with image.open("rb") as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as view:
        start = _data_start(view)
        size = len(view)
        heads = {}
        clusters = {}
        zero = bytes(CLUSTER)
        for offset in range(start, size - CLUSTER + 1, CLUSTER):
            block = view[offset:offset + CLUSTER]
            if block == zero:
                continue
            heads.setdefault(block[:HEAD], []).append(offset)
            clusters.setdefault(hashlib.sha1(block).digest(), []).append(offset)
        truth = []
        for item, deleted in placed:
            data = Path(item.source).read_bytes()
            record = {"name": item.name, "folder": item.folder, "fmt": item.fmt, "length": len(data),
                      "sha256": hashlib.sha256(data).hexdigest(), "deleted": deleted, "offset": None,
                      "status": "gone"}
            head = data[:HEAD].ljust(HEAD, b"\0") if len(data) < HEAD else data[:HEAD]
            candidates = [o for o in heads.get(head, []) if view[o:o + min(len(data), CLUSTER)] == data[:CLUSTER]]
            for offset in candidates:
                if view[offset:offset + len(data)] == data:
                    record.update(offset=offset, status="contiguous")
                    break
            if record["status"] == "gone" and candidates:
                record["offset"] = candidates[0]
                pieces = [candidates[0]]
                whole = True
                for at in range(CLUSTER, len(data), CLUSTER):
                    chunk = data[at:at + CLUSTER]
                    if len(chunk) == CLUSTER:
                        found = [o for o in clusters.get(hashlib.sha1(chunk).digest(), []) if view[o:o + CLUSTER] == chunk]
                    else:  # the last, short chunk: compare with the start of every cluster after the head
                        found = [o for o in range(start, size - CLUSTER + 1, CLUSTER) if view[o:o + len(chunk)] == chunk]
                    if not found:
                        whole = False
                        break
                    after = [o for o in found if o > pieces[-1]]
                    pieces.append(after[0] if after else found[0])
                record["status"] = "fragmented" if whole else "partial"
                if whole:
                    record["clusters"] = _runs(pieces)
            truth.append(record)
        return truth


def _runs(offsets):
    """Cluster offsets as [start, count] runs."""
    runs = []
    for offset in offsets:
        if runs and runs[-1][0] + runs[-1][1] * CLUSTER == offset:
            runs[-1][1] += 1
        else:
            runs.append([offset, 1])
    return runs


def _order(items, seed):
    ordered = list(items)
    random.Random(seed).shuffle(ordered)
    return ordered


def build_deleted(image: Path, items) -> list:
    card = Card(image, "DELETED")
    placed = []
    for index, item in enumerate(items):
        card.copy(item)
        placed.append((item, index % 4 != 3))
    for item, deleted in placed:
        if deleted:
            card.delete(item)
    return placed


def build_formatted(image: Path, items) -> list:
    card = Card(image, "FORMATTED")
    placed = []
    for index, item in enumerate(_order(items, 2)):
        card.copy(item)
        placed.append((item, index % 5 == 0))
    for item, deleted in placed:
        if deleted:
            card.delete(item)
    _format(image, "NEWCARD")
    return [(item, True) for item, _ in placed]


def build_fragmented(image: Path, items) -> list:
    card = Card(image, "FRAGMENTED")
    ordered = _order(items, 3)
    # Small files first, so that the holes they leave are smaller than the
    # large files written into them afterwards.
    first = sorted(ordered[: len(ordered) // 2], key=lambda item: Path(item.source).stat().st_size)
    second = sorted(ordered[len(ordered) // 2:], key=lambda item: -Path(item.source).stat().st_size)
    for item in first:
        card.copy(item)
    for index, item in enumerate(first):
        if index % 2 == 0:
            card.delete(item)
    card.forget_next_free()
    for item in second:
        card.copy(item)
    placed = [(item, True) for index, item in enumerate(first) if index % 2 == 0]
    survivors = [item for index, item in enumerate(first) if index % 2 == 1] + second
    for index, item in enumerate(survivors):
        keep = index % 3 == 2
        if not keep:
            card.delete(item)
        placed.append((item, not keep))
    return placed


LAYOUTS = {"deleted": build_deleted, "formatted": build_formatted, "fragmented": build_fragmented}


def build(folder: Path, items, fingerprint: str) -> dict:
    """Builds the three images (or reuses them) and returns {name: (image path, truth records)}."""
    folder.mkdir(parents=True, exist_ok=True)
    cards = {}
    for name, layout in LAYOUTS.items():
        image = folder / f"{name}.img"
        truth_file = folder / f"{name}.truth.json"
        stamp = fingerprint + FAT_BITS + hashlib.sha256(Path(__file__).read_bytes()).hexdigest()
        if truth_file.exists() and image.exists():
            saved = json.loads(truth_file.read_text())
            if saved.get("stamp") == stamp:
                cards[name] = (image, saved["files"])
                continue
        print(f"card: building {image.name}", flush=True)
        placed = layout(image, items)
        truth = locate(image, placed)
        truth_file.write_text(json.dumps({"stamp": stamp, "image": str(image), "files": truth}, indent=1))
        cards[name] = (image, truth)
    return cards
