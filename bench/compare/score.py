"""Matches each tool's outputs against the ground truth of a card.

An output is compared with the truth files that start where it starts (or,
when the tool gives no start, whose first 512 bytes it shares):
  same      byte-identical to the original
  prefix    longer than the original, which it holds from its first byte
  cut       shorter than the original, and a prefix of it
  wrong     starts like the original but differs further on (a fragmented file
            carved as if it were contiguous, or a wrong end)
An output that starts like no truth file matches nothing; it is counted as
`inside` when it starts within a truth file (an embedded thumbnail, a frame of
a video, a member of an archive) and `loose` otherwise.
"""

import hashlib
import os
from collections import Counter, defaultdict
from pathlib import Path

RANK = {"same": 4, "prefix": 3, "cut": 2, "wrong": 1}

# Output extensions folded into the format keys of the corpus.
ALIASES = {"jpeg": "jpg", "tiff": "tif", "m4v": "mp4", "qt": "mov", "heif": "heic", "aif": "aiff", "m2ts": "mts", "oga": "ogg", "tgz": "gz", "mpeg": "mpg", "vob": "mpg"}


class Truth:
    def __init__(self, records: list, sources: dict):
        self.records = records
        self.by_offset = defaultdict(list)
        self.by_head = defaultdict(list)
        self.extents = []
        self.sources = sources
        self.heads = {}
        for record in records:
            head = Path(sources[record["name"]]).read_bytes()[:512]
            self.heads[record["name"]] = head
            self.by_head[head].append(record)
            if record["offset"] is not None:
                self.by_offset[record["offset"]].append(record)
            if record["status"] == "contiguous":
                self.extents.append((record["offset"], record["offset"] + record["length"]))
            for start, count in record.get("clusters", []):
                self.extents.append((start, start + count * record.get("cluster", 32768)))

    def original(self, record) -> bytes:
        return Path(self.sources[record["name"]]).read_bytes()

    def inside(self, start) -> bool:
        return start is not None and any(begin < start < end for begin, end in self.extents)


def classify(data: bytes, record, truth: Truth) -> str | None:
    if data[:512] != truth.heads[record["name"]][:len(data[:512])]:
        return None
    length = record["length"]
    if len(data) == length and hashlib.sha256(data).hexdigest() == record["sha256"]:
        return "same"
    if len(data) > length and hashlib.sha256(data[:length]).hexdigest() == record["sha256"]:
        return "prefix"
    if len(data) < length and truth.original(record)[:len(data)] == data:
        return "cut"
    return "wrong"


def score(outputs, truth: Truth, image_view) -> dict:
    best = {}            # truth name -> (rank, kind, output length)
    junk = Counter()     # output format key -> count of outputs matching nothing
    junk_inside = Counter()
    junk_list = []
    details = []
    for output in outputs:
        head = output.head(image_view)
        candidates = list(truth.by_offset.get(output.start, [])) if output.start is not None else []
        for record in truth.by_head.get(head, []):
            if record not in candidates:
                candidates.append(record)
        candidates = [r for r in candidates if head == truth.heads[r["name"]][:len(head)]]
        data = output.read(image_view) if candidates else head
        verdict = None
        # Files of the same head (photos with the same first 4 KiB) all start alike:
        # the output is the one it matches best.
        for record in candidates:
            kind = classify(data, record, truth)
            if kind is not None and (verdict is None or RANK[kind] > RANK[verdict[1]]):
                verdict = (record, kind)
        if verdict is not None:
            record, kind = verdict
            previous = best.get(record["name"])
            if previous is None or RANK[kind] > previous[0]:
                best[record["name"]] = (RANK[kind], kind, len(data), output)
        if verdict is None:
            ext = ALIASES.get(output.ext, output.ext)
            junk[ext] += 1
            if output.embedded or truth.inside(output.start):
                junk_inside[ext] += 1
        else:
            details.append((verdict[0]["name"], verdict[1], output.start, len(data), output.path or output.ext))
        if verdict is None:
            junk_list.append(output)
    # A card file that no output recovers, starting inside an output that matches
    # nothing: that output's claimed range hid it.
    junk_ranges = sorted((o.start, o.start + o.length) for o in junk_list if o.start is not None)
    hidden = [r["name"] for r in truth.records if r["offset"] is not None
              and best.get(r["name"], (0,))[0] < RANK["prefix"]
              and any(begin < r["offset"] < end for begin, end in junk_ranges)]
    return {"best": best, "junk": junk, "junk_inside": junk_inside, "junk_list": junk_list, "outputs": len(outputs),
            "output_bytes": sum(o.length for o in outputs), "hidden": hidden}


def per_format(truth: Truth, result: dict, formats: list) -> dict:
    """format -> {files, same, prefix, junk, fragmented, fragmented_same} for contiguous and fragmented files."""
    table = {}
    for fmt in formats + ["other"]:
        table[fmt] = Counter()
    for record in truth.records:
        row = table[record["fmt"]]
        kind = result["best"].get(record["name"], (0, "missed"))[1]
        if record["status"] == "contiguous":
            row["files"] += 1
            row["same"] += kind == "same"
            row["prefix"] += kind in ("same", "prefix")
        elif record["status"] == "fragmented":
            row["fragmented"] += 1
            row["fragmented_same"] += kind == "same"
    for ext, count in result["junk"].items():
        table[ext if ext in table else "other"]["junk"] += count
    return table


def file_system(outputs, truth: Truth, result: dict) -> dict:
    """What brightfold took from the card's file system: fragmented files saved
    byte-identical, reassembled outputs that are no card file (false), and the
    byte-identical files saved under their original folder, name and time
    (within the 2 seconds a FAT time can tell)."""
    by_name = {r["name"]: r for r in truth.records}
    reassembled = [o for o in outputs if o.reassembled]
    digests = {r["sha256"] for r in truth.records}
    false = [o.path for o in reassembled if hashlib.sha256(Path(o.path).read_bytes()).hexdigest() not in digests]
    same = {name: out for name, (_, kind, _, out) in result["best"].items() if kind == "same"}
    named, unnamed, placed = [], [], 0
    for name, output in same.items():
        record = by_name[name]
        where = f"/{record['folder']}/{record['name']}"
        on_time = "mtime" in record and abs(os.stat(output.path).st_mtime - record["mtime"]) <= 2 if output.path else False
        (named if output.named and output.path.endswith(where) and on_time else unnamed).append(name)
        # In its folder with its time, the name right but for a first letter FAT did not keep.
        in_folder = output.named and on_time and Path(output.path).parent.as_posix().endswith("/" + record["folder"])
        placed += in_folder and Path(output.path).name[1:] == record["name"][1:]
    fragmented = [r["name"] for r in truth.records if r["status"] == "fragmented"]
    deleted = [r["name"] for r in truth.records if r["status"] == "fragmented" and r["deleted"]]
    return {"reassembled": len(reassembled), "false_reassembled": false,
            "fragmented": len(fragmented), "fragmented_same": sum(1 for n in fragmented if n in same),
            "fragmented_deleted": len(deleted), "fragmented_deleted_same": sum(1 for n in deleted if n in same),
            "same": len(same), "named": len(named), "placed": placed, "not_named": sorted(unnamed), "files": len(truth.records)}
