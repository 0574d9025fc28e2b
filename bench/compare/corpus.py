"""The files put on the comparison cards, made by real encoders from Debian
(ImageMagick, ffmpeg, lame, Ghostscript, libheif, LibreOffice, zip) and the
real camera files in ../shared/samples, which are read in place.

Every file is listed with its format key, the folder it goes to on the card
and the command that made it; build() writes them and MANIFEST.tsv into a
folder and reuses them while this file is unchanged.
"""

import base64
import hashlib
import os
import shlex
import shutil
import subprocess
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

IMAGEMAGICK = "/usr/bin/convert"  # the real one; `convert` on PATH may be a stand-in
ROOT = Path(__file__).resolve().parents[2]
SAMPLES = Path(os.environ.get("BRIGHTFOLD_SAMPLES", ROOT.parent / "shared" / "samples"))


@dataclass
class Item:
    name: str          # file name on the card
    fmt: str           # format key used in the tables (jpg, heic, mp4, docx, ...)
    folder: str        # folder on the card
    source: Path       # where the bytes are (the corpus folder or a sample read in place)
    commands: list = field(default_factory=list)


class Builder:
    def __init__(self, out: Path):
        self.out = out.resolve()
        self.items: list[Item] = []
        self.work = self.out / "work"
        self.work.mkdir(parents=True, exist_ok=True)

    def run(self, argv, cwd=None):
        done = subprocess.run(argv, cwd=cwd or self.out, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if done.returncode != 0:
            raise SystemExit(f"corpus: {argv[0]} failed ({done.returncode}): {done.stderr.decode(errors='replace')[-2000:]}")
        return " ".join(shlex.quote(str(a)) for a in argv)

    def add(self, name, fmt, folder, commands):
        self.items.append(Item(name, fmt, folder, self.out / name, commands))

    def sample(self, sample_name, name, fmt, folder):
        path = SAMPLES / sample_name
        if path.exists():
            self.items.append(Item(name, fmt, folder, path, [f"real file {sample_name} from the shared samples"]))


def _photos(b: Builder):
    canon = SAMPLES / "mei_Canon_EOS_20D.jpg"
    dcim = "DCIM/100CANON"
    # Camera-sized re-encodes of a real camera JPEG: they keep its Exif block,
    # embedded thumbnail included.
    variants = [
        ("IMG_0101.JPG", "3504x2336!", 92, "100,100,100"),
        ("IMG_0102.JPG", "3504x2336!", 97, "105,110,100"),
        ("IMG_0103.JPG", "4000x3000!", 92, "95,90,104"),
        ("IMG_0104.JPG", "4000x3000!", 98, "100,120,96"),
        ("IMG_0105.JPG", "4608x3456!", 95, "110,100,100"),
        ("IMG_0106.JPG", "5472x3648!", 97, "100,105,108"),
        ("IMG_0107.JPG", "6000x4000!", 94, "98,100,92"),
        ("IMG_0108.JPG", "3000x4000!", 90, "100,80,100"),
        ("IMG_0109.JPG", "4032x3024!", 88, "102,100,110"),
        ("IMG_0110.JPG", "1920x1280!", 85, "100,100,115"),
    ]
    for name, size, quality, modulate in variants:
        b.add(name, "jpg", dcim, [b.run([IMAGEMAGICK, canon, "-scale", size, "-modulate", modulate,
                                         "-quality", str(quality), name])])
    # Progressive and 4:2:0 encodes, as phones and editors write them.
    b.add("IMG_0111.JPG", "jpg", dcim, [b.run([IMAGEMAGICK, canon, "-resize", "4000x3000!", "-interlace", "JPEG",
                                              "-quality", "90", "IMG_0111.JPG"])])
    b.add("IMG_0112.JPG", "jpg", dcim, [b.run([IMAGEMAGICK, canon, "-resize", "4032x3024!", "-sampling-factor", "2x2",
                                              "-quality", "91", "-rotate", "180", "IMG_0112.JPG"])])
    b.add("IMG_0113.JPG", "jpg", dcim, [b.run([IMAGEMAGICK, "-seed", "13", "-size", "2048x1536", "plasma:fractal",
                                              "-quality", "90", "IMG_0113.JPG"])])
    b.sample("mei_Canon_EOS_20D.jpg", "IMG_0100.JPG", "jpg", dcim)


def _raw(b: Builder):
    b.sample("exiftool_CanonRaw.cr2", "IMG_0201.CR2", "cr2", "DCIM/101CANON")
    b.sample("exiftool_CanonRaw.cr3", "IMG_0202.CR3", "cr3", "DCIM/101CANON")
    b.sample("exiftool_Nikon.nef", "DSC_0203.NEF", "nef", "DCIM/102NIKON")
    b.sample("exiftool_DNG.dng", "IMG_0204.DNG", "dng", "DCIM/103DNG")
    b.sample("photoprism_canon_eos_6d.dng", "IMG_0205.DNG", "dng", "DCIM/103DNG")


def _heif(b: Builder):
    canon = SAMPLES / "mei_Canon_EOS_20D.jpg"
    folder = "DCIM/104APPLE"
    for name, size, quality in [("IMG_0301.HEIC", "4032x3024!", 50), ("IMG_0302.HEIC", "1920x1440!", 60)]:
        jpg = b.work / (name + ".jpg")
        first = b.run([IMAGEMAGICK, canon, "-resize", size, "-quality", "95", jpg])
        b.add(name, "heic", folder, [first, b.run(["heif-enc", "-p", "preset=ultrafast", "-q", str(quality), "-t", "320", jpg,
                                                         "-o", name])])
    jpg = b.work / "avif.jpg"
    first = b.run([IMAGEMAGICK, canon, "-resize", "1600x1200!", "-quality", "95", jpg])
    b.add("IMG_0303.AVIF", "avif", folder, [first, b.run(["heif-enc", "-A", "-p", "speed=9", "-q", "55", jpg,
                                                                  "-o", "IMG_0303.AVIF"])])
    b.sample("mei_iPhone8_IMG_1034.heic", "IMG_0300.HEIC", "heic", folder)


def _video(b: Builder):
    folder = "DCIM/105VIDEO"
    ff = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-threads", "2"]
    noisy = "noise=alls=12:allf=t"
    # 1080p camera-like clips: H.264 with AAC or PCM sound, moov at the end
    # (as recorded) or moved to the front.
    clips = [
        ("MVI_0401.MP4", "mp4", ["testsrc2=size=1920x1080:rate=30:duration=4"], noisy, ["-c:a", "aac", "-b:a", "128k"], []),
        ("MVI_0402.MP4", "mp4", ["testsrc=size=1920x1080:rate=25:duration=3"], noisy, ["-c:a", "aac"], ["-movflags", "+faststart"]),
        ("MVI_0403.MP4", "mp4", ["mandelbrot=size=1280x720:rate=30"], "", ["-c:a", "aac"], ["-t", "3"]),
        ("MVI_0404.MOV", "mov", ["testsrc2=size=1920x1080:rate=30:duration=3"], noisy, ["-c:a", "pcm_s16le"], []),
        ("MVI_0405.MOV", "mov", ["smptehdbars=size=1920x1080:rate=24:duration=3"], noisy, ["-c:a", "pcm_s16le"], ["-movflags", "+faststart"]),
    ]
    for name, fmt, video, vf, audio, extra in clips:
        argv = ff + ["-f", "lavfi", "-i", video[0], "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
                     "-shortest"]
        if vf:
            argv += ["-vf", vf]
        argv += ["-c:v", "libx264", "-preset", "ultrafast", "-b:v", "16M", "-pix_fmt", "yuv420p"] + audio + extra
        argv += [name]
        b.add(name, fmt, folder, [b.run(argv)])
    # Motion-JPEG AVI, as older compact cameras write: every frame is a JPEG.
    b.add("MVI_0406.AVI", "avi", folder, [b.run(ff + ["-f", "lavfi", "-i", "testsrc=size=640x480:rate=15:duration=3",
                                                      "-f", "lavfi", "-i", "sine=frequency=660:sample_rate=22050", "-shortest",
                                                      "-c:v", "mjpeg", "-q:v", "4", "-c:a", "pcm_u8", "MVI_0406.AVI"])])
    b.sample("mei_Kodak_100_0306.avi", "MVI_0400.AVI", "avi", folder)
    b.sample("mei_with-gps.mp4", "MVI_0407.MP4", "mp4", folder)
    b.sample("mei_sample.3gp", "MVI_0408.3GP", "3gp", folder)


def _audio(b: Builder):
    folder = "MUSIC"
    ff = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y"]
    for index, (seconds, kbps, tag) in enumerate([(90, 192, True), (60, 128, True), (45, 256, False)], start=1):
        wav = b.work / f"track{index}.wav"
        first = b.run(ff + ["-f", "lavfi", "-i", f"sine=frequency={220 * index}:sample_rate=44100:duration={seconds}",
                            "-f", "lavfi", "-i", f"anoisesrc=color=pink:amplitude=0.2:seed={index}:duration={seconds}",
                            "-filter_complex", "amix=inputs=2,aformat=channel_layouts=stereo", wav])
        name = f"TRACK{index:02}.MP3"
        argv = ["lame", "--quiet", "-b", str(kbps)]
        if tag:
            argv += ["--add-id3v2", "--tt", f"Track {index}", "--ta", "Brightfold Test", "--tl", "Card Audio", "--ty", "2024"]
        argv += [wav, name]
        b.add(name, "mp3", folder, [first, b.run(argv)])
    for index, (seconds, rate, channels) in enumerate([(20, 44100, 2), (12, 48000, 2), (30, 22050, 1)], start=1):
        name = f"REC{index:04}.WAV"
        b.add(name, "wav", "VOICE", [b.run(ff + ["-f", "lavfi", "-i",
                                                 f"anoisesrc=color=brown:amplitude=0.3:seed={index + 10}:sample_rate={rate}:duration={seconds}",
                                                 "-ac", str(channels), "-c:a", "pcm_s16le", name])])
    b.add("SONG0001.M4A", "m4a", folder, [b.run(ff + ["-f", "lavfi", "-i",
                                                      "sine=frequency=330:sample_rate=44100:duration=40", "-c:a", "aac",
                                                      "-b:a", "160k", "SONG0001.M4A"])])
    b.sample("mei_itunes.m4a", "SONG0000.M4A", "m4a", folder)


def _graphics(b: Builder):
    folder = "PICTURES"
    im = IMAGEMAGICK
    # The camera photo decoded once, at the largest size used below.
    canon = b.work / "base.ppm"
    base = b.run([im, SAMPLES / "mei_Canon_EOS_20D.jpg", "-resize", "1920x1280!", canon])
    b.add("SHOT0001.PNG", "png", folder, [base, b.run([im, canon, "-resize", "1920x1280!", "SHOT0001.PNG"])])
    b.add("SHOT0002.PNG", "png", folder, [b.run([im, "-seed", "21", "-size", "1280x720", "plasma:fractal", "SHOT0002.PNG"])])
    b.add("ICON0003.PNG", "png", folder, [b.run([im, "-size", "256x256", "gradient:red-blue", "-alpha", "set",
                                                 "-channel", "A", "-evaluate", "set", "70%", "ICON0003.PNG"])])
    b.add("ANIM0001.GIF", "gif", folder, [b.run([im, "-delay", "20", "-size", "320x240", "-seed", "31", "plasma:fractal",
                                                 "plasma:fractal", "plasma:fractal", "plasma:fractal", "-loop", "0",
                                                 "ANIM0001.GIF"])])
    b.add("PIC00002.GIF", "gif", folder, [base, b.run([im, canon, "-resize", "800x533!", "-colors", "128", "PIC00002.GIF"])])
    b.add("LOGO0003.GIF", "gif", folder, [b.run([im, "-size", "200x120", "gradient:yellow-green", "GIF87:LOGO0003.GIF"])])
    b.add("SCAN0001.BMP", "bmp", folder, [base, b.run([im, canon, "-resize", "1600x1067!", "-type", "TrueColor", "BMP3:SCAN0001.BMP"])])
    b.add("SCAN0002.BMP", "bmp", folder, [base, b.run([im, canon, "-resize", "640x427!", "-colors", "256", "-type", "Palette",
                                                 "BMP3:SCAN0002.BMP"])])
    b.add("SCAN0003.BMP", "bmp", folder, [b.run([im, "-seed", "33", "-size", "800x600", "plasma:fractal", "-alpha", "on",
                                                 "BMP:SCAN0003.BMP"])])
    b.add("SCAN0004.TIF", "tif", folder, [base, b.run([im, canon, "-resize", "1800x1200!", "-compress", "none", "SCAN0004.TIF"])])
    b.add("SCAN0005.TIF", "tif", folder, [base, b.run([im, canon, "-resize", "1200x800!", "-compress", "lzw", "-endian", "MSB",
                                                 "SCAN0005.TIF"])])
    b.add("SCAN0006.TIF", "tif", folder, [b.run([im, "-seed", "36", "-size", "1024x768", "plasma:fractal", "-compress", "zip",
                                                 "SCAN0006.TIF"])])
    b.add("PHOTO001.WEBP", "webp", folder, [base, b.run([im, canon, "-resize", "1920x1280!", "-quality", "80", "PHOTO001.WEBP"])])
    b.add("PHOTO002.WEBP", "webp", folder, [b.run([im, "-seed", "42", "-size", "640x480", "plasma:fractal",
                                                   "-define", "webp:lossless=true", "PHOTO002.WEBP"])])
    b.sample("mei_photo1.webp", "PHOTO000.WEBP", "webp", folder)


_LOREM = ("Memory cards fill up, files get deleted, cards get formatted. "
          "This paragraph is here so that the document has some text in it. ")


def _binary(image: Path) -> str:
    """A picture embedded in a flat OpenDocument file, so that the export carries it."""
    return "<office:binary-data>" + base64.b64encode(image.read_bytes()).decode() + "</office:binary-data>"


def _fodt(path: Path, title: str, image: Path, paragraphs: int):
    body = "".join(f"<text:p>{_LOREM * 3} ({i})</text:p>\n" for i in range(paragraphs))
    path.write_text(f"""<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" xmlns:xlink="http://www.w3.org/1999/xlink"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.text">
<office:body><office:text>
<text:h text:outline-level="1">{title}</text:h>
<text:p><draw:frame svg:width="12cm" svg:height="8cm" text:anchor-type="paragraph"><draw:image>{_binary(image)}</draw:image>
</draw:frame></text:p>
{body}</office:text></office:body></office:document>
""")


def _fodp(path: Path, title: str, image: Path, slides: int):
    pages = []
    for i in range(slides):
        picture = (f'<draw:frame svg:x="2cm" svg:y="6cm" svg:width="14cm" svg:height="10cm"><draw:image>{_binary(image)}'
                   f'</draw:image></draw:frame>') if i == 0 else ""
        pages.append(f'<draw:page draw:name="p{i + 1}"><draw:frame svg:x="2cm" svg:y="1cm" svg:width="24cm" svg:height="3cm">'
                     f'<draw:text-box><text:p>{title}, slide {i + 1}</text:p><text:p>{_LOREM}</text:p></draw:text-box>'
                     f'</draw:frame>{picture}</draw:page>')
    path.write_text(f"""<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" xmlns:xlink="http://www.w3.org/1999/xlink"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.presentation">
<office:body><office:presentation>{''.join(pages)}</office:presentation></office:body></office:document>
""")


def _csv(path: Path, rows: int, seed: int):
    lines = ["date,item,quantity,price,total"]
    for i in range(rows):
        quantity = (i * 7 + seed) % 13 + 1
        price = ((i * 31 + seed * 17) % 997) / 10
        lines.append(f"2024-{i % 12 + 1:02}-{i % 28 + 1:02},item {(i * seed) % 211},{quantity},{price:.2f},{quantity * price:.2f}")
    path.write_text("\n".join(lines) + "\n")


def _office(b: Builder):
    if shutil.which("soffice") is None:
        print("corpus: LibreOffice (soffice) is not installed; DOCX/XLSX/PPTX/DOC/XLS/PPT are left out")
        return
    folder = "DOCUMENTS"
    canon = SAMPLES / "mei_Canon_EOS_20D.jpg"
    pictures = []
    for index, size in enumerate(["1024x683!", "800x533!"], start=1):
        picture = b.work / f"figure{index}.jpg"
        pictures.append((picture, b.run([IMAGEMAGICK, canon, "-resize", size, "-quality", "85", picture])))
    sources = {"text": [], "sheet": [], "slides": []}
    for index in (1, 2):
        picture, made = pictures[index - 1]
        text = b.work / f"Report{index}.fodt"
        _fodt(text, f"Report {index}", picture, 40 * index)
        sources["text"].append((text, made))
        sheet = b.work / f"Budget{index}.csv"
        _csv(sheet, 3000 * index, index)
        sources["sheet"].append((sheet, None))
        slides = b.work / f"Talk{index}.fodp"
        _fodp(slides, f"Talk {index}", picture, 4 * index)
        sources["slides"].append((slides, made))
    # Two LibreOffice processes at a time, each with its own profile folder.
    jobs = [("text", "docx", "MS Word 2007 XML"), ("text", "doc", "MS Word 97"),
            ("sheet", "xlsx", "Calc Office Open XML"), ("sheet", "xls", "MS Excel 97"),
            ("slides", "pptx", "Impress Office Open XML"), ("slides", "ppt", "MS PowerPoint 97"),
            ("pdf", "pdf", "writer_pdf_Export")]
    commands = {}
    for pair in range(0, len(jobs), 2):
        running = []
        for slot, (kind, ext, filt) in enumerate(jobs[pair:pair + 2]):
            lo = ["soffice", f"-env:UserInstallation=file://{b.work}/lo-profile-{slot}", "--headless", "--norestore",
                  "--convert-to", f"{ext}:{filt}", "--outdir", str(b.work / f"lo-{ext}")]
            inputs = [str(path) for path, _ in sources["text" if kind == "pdf" else kind]][: 1 if kind == "pdf" else 2]
            argv = lo + inputs
            commands[ext] = " ".join(shlex.quote(a) for a in argv)
            running.append((ext, subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)))
        for ext, process in running:
            _, err = process.communicate()
            if process.returncode != 0:
                raise SystemExit(f"corpus: soffice --convert-to {ext} failed: {err.decode(errors='replace')[-1000:]}")
    for kind, ext, _ in jobs:
        if kind == "pdf":
            continue
        for path, made in sources[kind]:
            name = path.stem.upper() + "." + ext.upper()
            (b.work / f"lo-{ext}" / (path.stem + "." + ext)).replace(b.out / name)
            written = "(" + path.name + " is written by bench/compare/corpus.py)"
            b.add(name, ext, folder, ([made] if made else []) + [written, commands[ext]])
    (b.work / "lo-pdf" / "Report1.pdf").replace(b.out / "REPORT1.PDF")
    b.add("REPORT1.PDF", "pdf", folder, [pictures[0][1], "(Report1.fodt is written by bench/compare/corpus.py)",
                                         commands["pdf"]])


def _postscript(path: Path, pages: int, seed: int):
    lines = ["%!PS-Adobe-3.0", "/Helvetica findfont 11 scalefont setfont"]
    for page in range(pages):
        for row in range(60):
            lines.append(f"50 {780 - row * 12} moveto ({_LOREM[:90]} p{page} r{row} s{seed}) show")
        lines.append(f"{100 + seed * 10} 60 moveto {200 + page} 40 rlineto stroke")
        lines.append("showpage")
    path.write_text("\n".join(lines) + "\n")


def _documents(b: Builder):
    folder = "DOCUMENTS"
    gs = ["gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pdfwrite"]
    for index, pages in [(2, 6), (3, 30)]:
        ps = b.work / f"text{index}.ps"
        _postscript(ps, pages, index)
        name = f"REPORT{index}.PDF"
        b.add(name, "pdf", folder, [f"(text{index}.ps is written by bench/compare/corpus.py)",
                                    b.run(gs + [f"-sOutputFile={name}", ps])])
    viewjpeg = sorted(Path("/usr/share/ghostscript").glob("*/lib/viewjpeg.ps"))
    if viewjpeg:
        canon = SAMPLES / "mei_Canon_EOS_20D.jpg"
        b.add("SCAN0007.PDF", "pdf", folder, [b.run(gs + ["-sOutputFile=SCAN0007.PDF", f"--permit-file-read={SAMPLES}/",
                                                         viewjpeg[-1], "-c",
                                                         f"({canon}) viewJPEG showpage"])])
    # Archives: a deflated folder of text, a stored one with photos in it, and EPUBs.
    texts = b.work / "notes"
    texts.mkdir(exist_ok=True)
    for i in range(30):
        (texts / f"note{i:02}.txt").write_text((_LOREM + f" note {i}\n") * (20 + i * 5))
    b.add("NOTES.ZIP", "zip", "BACKUP", [b.run(["zip", "-q", "-X", "-r", b.out / "NOTES.ZIP", "notes"], cwd=b.work)])
    photos = b.work / "photos"
    photos.mkdir(exist_ok=True)
    for picture, _ in [(b.work / "figure1.jpg", None), (b.work / "figure2.jpg", None)]:
        if picture.exists():
            shutil.copy(picture, photos / picture.name)
    shutil.copy(b.out / "SHOT0002.PNG", photos / "shot.png")
    b.add("PHOTOS.ZIP", "zip", "BACKUP", [b.run(["zip", "-q", "-X", "-0", "-r", b.out / "PHOTOS.ZIP", "photos"], cwd=b.work)])
    b.add("MIXED.ZIP", "zip", "BACKUP", [b.run(["zip", "-q", "-X", "-9", "-r", b.out / "MIXED.ZIP", "notes", "photos"], cwd=b.work)])
    for index, chapters in [(1, 8), (2, 20)]:
        book = b.work / f"book{index}"
        (book / "META-INF").mkdir(parents=True, exist_ok=True)
        (book / "OEBPS").mkdir(exist_ok=True)
        (book / "mimetype").write_text("application/epub+zip")
        (book / "META-INF" / "container.xml").write_text(
            '<?xml version="1.0"?><container version="1.0" xmlns="urn:oasis:names:tc:opendocument:xmlns:container">'
            '<rootfiles><rootfile full-path="OEBPS/content.opf" media-type="application/oebps-package+xml"/></rootfiles></container>')
        manifest = "".join(f'<item id="c{i}" href="c{i}.xhtml" media-type="application/xhtml+xml"/>' for i in range(chapters))
        spine = "".join(f'<itemref idref="c{i}"/>' for i in range(chapters))
        (book / "OEBPS" / "content.opf").write_text(
            '<?xml version="1.0"?><package xmlns="http://www.idpf.org/2007/opf" version="3.0" unique-identifier="id">'
            f'<metadata xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:identifier id="id">book{index}</dc:identifier>'
            f'<dc:title>Book {index}</dc:title><dc:language>en</dc:language></metadata><manifest>{manifest}</manifest>'
            f'<spine>{spine}</spine></package>')
        for i in range(chapters):
            (book / "OEBPS" / f"c{i}.xhtml").write_text(
                f'<?xml version="1.0"?><html xmlns="http://www.w3.org/1999/xhtml"><head><title>Chapter {i}</title></head>'
                f'<body><h1>Chapter {i}</h1>' + f"<p>{_LOREM * 8}</p>" * (10 + i) + "</body></html>")
        name = f"BOOK{index}.EPUB"
        target = b.out / name
        target.unlink(missing_ok=True)
        first = b.run(["zip", "-q", "-X", "-0", target, "mimetype"], cwd=book)
        second = b.run(["zip", "-q", "-X", "-9", "-r", target, "META-INF", "OEBPS"], cwd=book)
        b.add(name, "epub", "BOOKS", [f"(book{index}/ is written by bench/compare/corpus.py)", first, second])


def load_manifest(out: Path) -> list[Item]:
    """The items listed in out/MANIFEST.tsv."""
    items = []
    for line in (out / "MANIFEST.tsv").read_text().splitlines()[1:]:
        name, fmt, folder, source, commands = line.split("\t")
        items.append(Item(name, fmt, folder, out.resolve() / source, commands.split(" && ")))
    return items


def save_manifest(out: Path, items: list[Item]):
    with (out / "MANIFEST.tsv").open("w") as handle:
        handle.write("# name\tformat\tfolder on the card\tbytes read from\tcommands that made it\n")
        for item in items:
            # made files relative to the corpus folder; samples read in place keep their absolute path
            source = os.path.relpath(item.source, out.resolve()) if item.source.parent == out.resolve() else item.source
            handle.write(f"{item.name}\t{item.fmt}\t{item.folder}\t{source}\t{' && '.join(item.commands)}\n")


def _fingerprint() -> str:
    digest = hashlib.sha256(Path(__file__).read_bytes())
    for name in sorted(os.listdir(SAMPLES)) if SAMPLES.exists() else []:
        digest.update(name.encode())
    return digest.hexdigest()


def build(out: Path) -> list[Item]:
    """Makes the corpus in `out` (or reuses it) and returns its items."""
    out.mkdir(parents=True, exist_ok=True)
    stamp = out / "STAMP"
    manifest = out / "MANIFEST.tsv"
    fingerprint = _fingerprint()
    if stamp.exists() and stamp.read_text() == fingerprint and manifest.exists():
        return load_manifest(out)
    if not (SAMPLES / "mei_Canon_EOS_20D.jpg").exists():
        raise SystemExit(f"corpus: the shared sample files are not at {SAMPLES}")
    stamp.unlink(missing_ok=True)
    # LibreOffice spends most of its time starting up, so the office files are
    # made alongside the others; the archives need its pictures, so they come last.
    builders = {}

    def make(step):
        began = time.perf_counter()
        builders[step] = Builder(out)
        step(builders[step])
        print(f"corpus: {step.__name__.strip('_')} made in {time.perf_counter() - began:.0f} s", flush=True)

    office = threading.Thread(target=make, args=(_office,))
    office.start()
    try:
        for step in (_photos, _raw, _heif, _video, _audio, _graphics):
            make(step)
    finally:
        office.join()
    if _office not in builders:
        raise SystemExit("corpus: the office files could not be made")
    make(_documents)
    b = Builder(out)
    for step in (_photos, _raw, _heif, _video, _audio, _graphics, _office, _documents):
        b.items += builders[step].items
    save_manifest(out, b.items)
    stamp.write_text(fingerprint)
    return b.items
