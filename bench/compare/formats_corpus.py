"""The files of the formats card: video and audio containers, camera RAW,
archives and images past the formats of the main corpus, made by real encoders
from Debian (ffmpeg, 7z, gzip, tar, ImageMagick, LibreOffice) and the real
camera files in ../shared/samples, read in place.

Kept apart from corpus.py so that the main cards stay as they are; build()
writes the files and MANIFEST.tsv into a folder and reuses them while this file
is unchanged.
"""

import hashlib
import shutil
from pathlib import Path

from corpus import IMAGEMAGICK, SAMPLES, Builder, Item, _LOREM, load_manifest, save_manifest

FF = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-threads", "2"]


def _lavfi(video: str, seconds: int, rate: int = 48000) -> list:
    return ["-f", "lavfi", "-i", f"{video}:duration={seconds}", "-f", "lavfi", "-i",
            f"sine=frequency=440:sample_rate={rate}:duration={seconds}"]


def _video(b: Builder):
    folder = "PRIVATE/AVCHD/BDMV/STREAM"
    noisy = ["-vf", "noise=alls=10:allf=t"]
    h264 = ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"]
    # AVCHD camcorder clips: H.264 and AC-3 in 192-byte packets.
    for index, (size, seconds) in enumerate([("1920x1080", 3), ("1440x1080", 2)], start=1):
        name = f"0000{index}.MTS"
        b.add(name, "mts", folder, [b.run(FF + _lavfi(f"testsrc2=size={size}:rate=25", seconds) + noisy + h264
                                          + ["-b:v", "8M", "-c:a", "ac3", "-b:a", "192k", "-f", "mpegts",
                                             "-mpegts_m2ts_mode", "1", name])])
    folder = "VIDEO"
    # Transport streams as TV recorders and encoders write them.
    b.add("REC0001.TS", "ts", folder, [b.run(FF + _lavfi("testsrc=size=1280x720:rate=25", 3) + noisy
                                             + ["-c:v", "mpeg2video", "-b:v", "6M", "-c:a", "mp2", "REC0001.TS"])])
    b.add("REC0002.TS", "ts", folder, [b.run(FF + _lavfi("smptehdbars=size=1280x720:rate=30", 2) + noisy + h264
                                             + ["-b:v", "4M", "-c:a", "aac", "REC0002.TS"])])
    b.add("REC0003.TS", "ts", folder, [b.run(FF + _lavfi("rgbtestsrc=size=640x360:rate=25", 4)
                                             + ["-c:v", "mpeg2video", "-b:v", "2M", "-c:a", "ac3", "REC0003.TS"])])
    # Program streams: a DVD-style VOB stream and an MPEG-1 system stream.
    b.add("DVD0001.MPG", "mpg", folder, [b.run(FF + _lavfi("testsrc=size=720x576:rate=25", 3) + noisy
                                               + ["-c:v", "mpeg2video", "-b:v", "5M", "-c:a", "ac3", "-f", "vob",
                                                  "DVD0001.MPG"])])
    b.add("CLIP0001.MPG", "mpg", folder, [b.run(FF + _lavfi("testsrc2=size=352x288:rate=25", 4, 44100) + noisy
                                                + ["-c:v", "mpeg1video", "-b:v", "1500k", "-c:a", "mp2", "-f", "mpeg",
                                                   "CLIP0001.MPG"])])
    b.add("MOVIE001.MKV", "mkv", folder, [b.run(FF + _lavfi("testsrc2=size=1280x720:rate=30", 3) + noisy + h264
                                                + ["-b:v", "5M", "-c:a", "aac", "MOVIE001.MKV"])])
    b.add("MOVIE002.WEBM", "webm", folder, [b.run(FF + _lavfi("testsrc=size=640x360:rate=25", 3)
                                                  + ["-c:v", "libvpx", "-b:v", "1M", "-c:a", "libopus", "MOVIE002.WEBM"])])
    b.add("MOVIE003.WMV", "wmv", folder, [b.run(FF + _lavfi("testsrc=size=640x480:rate=25", 3) + noisy
                                                + ["-c:v", "wmv2", "-b:v", "2M", "-c:a", "wmav2", "MOVIE003.WMV"])])
    b.add("MOVIE004.FLV", "flv", folder, [b.run(FF + _lavfi("testsrc=size=640x360:rate=25", 3, 44100) + noisy
                                                + ["-c:v", "flv", "-b:v", "1M", "-c:a", "libmp3lame", "MOVIE004.FLV"])])
    b.add("MOVIE005.FLV", "flv", folder, [b.run(FF + _lavfi("testsrc2=size=854x480:rate=30", 2, 44100) + h264
                                                + ["-b:v", "2M", "-c:a", "aac", "MOVIE005.FLV"])])


def _audio(b: Builder):
    folder = "RECORDER"
    noise = "anoisesrc=color=pink:amplitude=0.2:seed={seed}:sample_rate={rate}:duration={seconds}"

    def source(seed, rate, seconds, channels=2):
        return ["-f", "lavfi", "-i", noise.format(seed=seed, rate=rate, seconds=seconds), "-ac", str(channels)]

    # Field recorders' FLAC, 16 and 24 bits.
    b.add("ZOOM0001.FLAC", "flac", folder, [b.run(FF + source(1, 44100, 20) + ["-c:a", "flac", "ZOOM0001.FLAC"])])
    b.add("ZOOM0002.FLAC", "flac", folder, [b.run(FF + source(2, 48000, 12) + ["-c:a", "flac", "-sample_fmt", "s32",
                                                                             "ZOOM0002.FLAC"])])
    folder = "MUSIC"
    b.add("SONG0002.OGG", "ogg", folder, [b.run(FF + source(3, 44100, 40) + ["-c:a", "libvorbis", "-q:a", "4",
                                                                           "SONG0002.OGG"])])
    b.add("VOICE001.OPUS", "opus", folder, [b.run(FF + source(4, 48000, 30, 1) + ["-c:a", "libopus", "-b:a", "32k",
                                                                                "VOICE001.OPUS"])])
    b.add("SONG0003.AAC", "aac", folder, [b.run(FF + source(5, 44100, 30) + ["-c:a", "aac", "-b:a", "128k",
                                                                           "SONG0003.AAC"])])
    b.add("SONG0004.AAC", "aac", folder, [b.run(FF + source(6, 22050, 20, 1) + ["-c:a", "aac", "-b:a", "48k",
                                                                              "SONG0004.AAC"])])
    b.add("SONG0005.WMA", "wma", folder, [b.run(FF + source(7, 44100, 30) + ["-c:a", "wmav2", "-b:a", "128k",
                                                                           "SONG0005.WMA"])])


def _raw(b: Builder):
    for sample, name, fmt, folder in [("exiftool_FujiFilm.raf", "DSCF0001.RAF", "raf", "DCIM/100_FUJI"),
                                      ("exiftool_Panasonic.rw2", "P1000001.RW2", "rw2", "DCIM/100_PANA"),
                                      ("exiftool_CanonRaw.crw", "CRW_0001.CRW", "crw", "DCIM/100CANON"),
                                      ("exiftool_Minolta.mrw", "PICT0001.MRW", "mrw", "DCIM/100MLT"),
                                      ("exiftool_Sigma.x3f", "SDIM0001.X3F", "x3f", "DCIM/100SIGMA")]:
        b.sample(sample, name, fmt, folder)


def _archives(b: Builder):
    notes = b.work / "notes"
    notes.mkdir(exist_ok=True)
    for i in range(25):
        (notes / f"note{i:02}.txt").write_text((_LOREM + f" note {i}\n") * (30 + i * 7))
    canon = SAMPLES / "mei_Canon_EOS_20D.jpg"
    photo = b.work / "photo.jpg"
    made = b.run([IMAGEMAGICK, canon, "-resize", "1600x1067!", "-quality", "90", photo])
    folder = "BACKUP"
    for name in ("NOTES.7Z", "PHOTO.7Z"):
        (b.out / name).unlink(missing_ok=True)
    b.add("NOTES.7Z", "7z", folder, [b.run(["7z", "a", "-bd", "-mx=5", b.out / "NOTES.7Z", "notes"], cwd=b.work)])
    b.add("PHOTO.7Z", "7z", folder, [made, b.run(["7z", "a", "-bd", "-mx=1", b.out / "PHOTO.7Z", "photo.jpg", "notes"],
                                                 cwd=b.work)])
    tar = b.work / "notes.tar"
    first = b.run(["tar", "--sort=name", "--mtime=2024-01-01", "--owner=0", "--group=0", "-cf", tar, "notes"], cwd=b.work)
    shutil.copy(tar, b.out / "NOTES.TAR")
    b.add("NOTES.TAR.GZ", "gz", folder, [first, b.run(["sh", "-c", f"gzip -9 -n -c NOTES.TAR > NOTES.TAR.GZ && rm NOTES.TAR"])])
    log = b.work / "system.log"
    log.write_text("".join(f"2024-03-{i % 28 + 1:02} 12:{i % 60:02}:00 camera: event {i} {_LOREM[:60]}\n" for i in range(4000)))
    b.add("SYSTEM.LOG.GZ", "gz", folder, [b.run(["sh", "-c", f"gzip -6 -c {log} > SYSTEM.LOG.GZ"])])
    b.add("LAYERS01.PSD", "psd", "PICTURES", [made, b.run([IMAGEMAGICK, photo, "-resize", "800x533!", "LAYERS01.PSD"])])
    b.sample("exiftool_Photoshop.psd", "LAYERS00.PSD", "psd", "PICTURES")


def _office(b: Builder):
    if shutil.which("soffice") is None:
        print("formats corpus: LibreOffice (soffice) is not installed; ODT/ODS/ODP are left out")
        return
    from corpus import _csv, _fodp, _fodt
    canon = SAMPLES / "mei_Canon_EOS_20D.jpg"
    picture = b.work / "figure.jpg"
    made = b.run([IMAGEMAGICK, canon, "-resize", "800x533!", "-quality", "85", picture])
    _fodt(b.work / "Letter.fodt", "Letter", picture, 30)
    _csv(b.work / "Accounts.csv", 2500, 3)
    _fodp(b.work / "Slides.fodp", "Slides", picture, 5)
    profile = f"-env:UserInstallation=file://{b.work}/lo-profile"
    for source, ext, name in [("Letter.fodt", "odt", "LETTER.ODT"), ("Accounts.csv", "ods", "ACCOUNTS.ODS"),
                              ("Slides.fodp", "odp", "SLIDES.ODP")]:
        command = b.run(["soffice", profile, "--headless", "--norestore", "--convert-to", ext, "--outdir", b.work / "lo",
                         b.work / source])
        (b.work / "lo" / (Path(source).stem + "." + ext)).replace(b.out / name)
        b.add(name, ext, "DOCUMENTS", [made, f"({source} is written by bench/compare/corpus.py)", command])


def for_card(card: str, items: list[Item]) -> list[Item]:
    """The files of one card: `formats` holds what the encoders made, `formats-samples` the
    real camera and Photoshop files (ExifTool's test images, whose image data is mostly cut out)."""
    made = [item for item in items if not str(item.source).startswith(str(SAMPLES))]
    return made if card == "formats" else [item for item in items if item not in made]


def _fingerprint() -> str:
    digest = hashlib.sha256(Path(__file__).read_bytes())
    digest.update((Path(__file__).parent / "corpus.py").read_bytes())
    return digest.hexdigest()


def build(out: Path) -> list[Item]:
    """Makes the formats corpus in `out` (or reuses it) and returns its items."""
    out.mkdir(parents=True, exist_ok=True)
    stamp = out / "STAMP"
    fingerprint = _fingerprint()
    if stamp.exists() and stamp.read_text() == fingerprint and (out / "MANIFEST.tsv").exists():
        return load_manifest(out)
    stamp.unlink(missing_ok=True)
    b = Builder(out)
    for step in (_video, _audio, _raw, _archives, _office):
        step(b)
    save_manifest(out, b.items)
    stamp.write_text(fingerprint)
    return b.items
