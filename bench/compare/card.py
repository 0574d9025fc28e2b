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


def _format(image: Path, label: str, fat_bits: str = FAT_BITS, sectors_per_cluster: int = CLUSTER // 512):
    _run(["mkfs.vfat", "-F", fat_bits, "-s", str(sectors_per_cluster), "-n", label, "-i", "0B41D001", image])


class Card:
    """Copies files onto one image with mtools, creating folders as needed."""

    def __init__(self, image: Path, label: str, fat_bits: str = FAT_BITS, cluster: int = CLUSTER, size: str = IMAGE_SIZE):
        self.image = image
        self.made = set()
        self.fat32 = fat_bits == "32"
        image.unlink(missing_ok=True)
        _run(["truncate", "-s", size, image])
        _format(image, label, fat_bits, cluster // 512)

    def copy(self, item):
        path = ""
        for part in item.folder.split("/"):
            path += "/" + part
            if path not in self.made:
                self.made.add(path)
                subprocess.run(["mmd", "-i", self.image, "::" + path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # -m: the copy keeps the file's modification time, which the truth records
        _run(["mcopy", "-m", "-i", self.image, item.source, f"::/{item.folder}/{item.name}"])

    def delete(self, item):
        _run(["mdel", "-i", self.image, f"::/{item.folder}/{item.name}"])

    def forget_next_free(self):
        """Clears the FSInfo next-free hint so that the next copy allocates from the first free cluster."""
        if not self.fat32:
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


def locate(image: Path, placed: list, cluster: int = CLUSTER) -> list:
    """Finds each placed file's bytes on the image; returns the truth records."""
    CLUSTER = cluster  # noqa: N806 (the cluster size of this image)
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
                      "status": "gone", "mtime": int(Path(item.source).stat().st_mtime)}
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
                    record["clusters"] = _runs(pieces, CLUSTER)
                    record["cluster"] = CLUSTER
            truth.append(record)
        return truth


def _runs(offsets, cluster=CLUSTER):
    """Cluster offsets as [start, count] runs."""
    runs = []
    for offset in offsets:
        if runs and runs[-1][0] + runs[-1][1] * cluster == offset:
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


SMALL_CLUSTER = 4096             # bytes: the FAT32 card of a phone or a newer camera
SMALL_CLUSTER_SIZE = "300M"      # FAT32 needs 65525 clusters: 256 MiB of 4 KiB clusters and the tables


def build_fragmented32(image: Path, items) -> list:
    """FAT32 with 4 KiB clusters: small files are deleted and the holes refilled, so larger ones split;
    then every other file of the second batch is deleted too, so that fragmented files are among
    the deleted ones, their chains cleared."""
    card = Card(image, "FRAG32", "32", SMALL_CLUSTER, SMALL_CLUSTER_SIZE)
    ordered = _order(items, 5)
    first = sorted(ordered[: len(ordered) // 2], key=lambda item: Path(item.source).stat().st_size)
    second = ordered[len(ordered) // 2:]
    for item in first:
        card.copy(item)
    for index, item in enumerate(first):
        if index % 3 != 1:
            card.delete(item)
    card.forget_next_free()
    for item in second:
        card.copy(item)
    for index, item in enumerate(second):
        if index % 2 == 0:
            card.delete(item)
    kept = [item for index, item in enumerate(first) if index % 3 == 1]
    return ([(item, index % 3 != 1) for index, item in enumerate(first) if index % 3 != 1] + [(item, False) for item in kept]
            + [(item, index % 2 == 0) for index, item in enumerate(second)])


def _junk_run(rng: random.Random) -> bytes:
    """A bare signature, plausible header fields, then random bytes: 1 to 12 sectors."""
    size = rng.randint(1, 12) * 512
    declared = rng.randint(size, 64 * 1024 * 1024)
    heads = [
        b"%PDF-1." + bytes([rng.randint(0x30, 0x37)]) + b"\n",
        b"RIFF" + struct.pack("<I", declared) + b"WAVE",
        b"RIFF" + struct.pack("<I", declared) + b"AVI ",
        b"RIFF" + struct.pack("<I", declared) + b"WEBP",
        b"FORM" + struct.pack(">I", declared) + b"AIFF",
        b"\xff\xd8\xff\xe0" + struct.pack(">H", 16) + b"JFIF\0",
        b"\xff\xd8\xff\xe1" + struct.pack(">H", 300) + b"Exif\0\0",
        struct.pack(">I", 24) + b"ftypisom\0\0\0\0isommp41" + struct.pack(">I", declared) + b"mdat",
        b"PK\x03\x04\x14\x00\x00\x00\x08\x00",
        b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(22) + b"\x09\x00",
        b"ID3\x03\x00\x00\x00\x00\x02\x00",
        b"\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR",
        b"GIF89a", b"II*\x00\x08\x00\x00\x00", b"BM" + struct.pack("<I", declared),
    ]
    head = rng.choice(heads)
    return head + rng.randbytes(size - len(head))


def build_junk(image: Path, items) -> list:
    """A raw image (no file system) of the files back to back on sector starts, with
    about a hundred runs of junk sectors between them, as free space full of old
    fragments leaves them. Returns the truth records directly."""
    rng = random.Random(7)
    ordered = _order(items, 7)
    truth = []
    with image.open("wb") as handle:
        for index, item in enumerate(ordered):
            for _ in range(rng.choice([0, 1, 1, 2]) if index else 1):
                handle.write(_junk_run(rng))
            data = Path(item.source).read_bytes()
            offset = handle.tell()
            handle.write(data + bytes(-len(data) % 512))
            truth.append({"name": item.name, "folder": item.folder, "fmt": item.fmt, "length": len(data),
                          "sha256": hashlib.sha256(data).hexdigest(), "deleted": True, "offset": offset,
                          "status": "contiguous"})
        handle.write(_junk_run(rng))
    return truth


LAYOUTS = {"deleted": build_deleted, "formatted": build_formatted, "fragmented": build_fragmented,
           "junk": build_junk, "fragmented32": build_fragmented32}
# Cards of the formats corpus (formats_corpus.py): the files on a raw image, as on the junk card,
# so that only carving finds them; the encoders' files on one, the real samples on the other.
FORMAT_LAYOUTS = {"formats": build_junk, "formats-samples": build_junk}


def build(folder: Path, items, fingerprint: str, layouts: dict) -> dict:
    """Builds the images of `layouts` from `items` (or reuses them) and returns {name: (image path, truth records)}."""
    folder.mkdir(parents=True, exist_ok=True)
    cards = {}
    for name, layout in layouts.items():
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
        if layout is build_junk:
            truth = placed
        else:
            truth = locate(image, placed, SMALL_CLUSTER if layout is build_fragmented32 else CLUSTER)
        truth_file.write_text(json.dumps({"stamp": stamp, "image": str(image), "files": truth}, indent=1))
        cards[name] = (image, truth)
    return cards
