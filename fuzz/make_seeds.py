#!/usr/bin/env python3
"""Writes the small seed files under fuzz/corpus/. Run once after changing
it; the seeds are kept in the repository. Image and video seeds start from
tiny files in the folder given as the first argument, made there with

  vips black b.v 8 8 --bands 3 && vips linear b.v c.v 1 90 && vips cast c.v d.v uchar
  for f in png gif webp tif; do vips copy d.v tiny.$f; done
  vips copy d.v 'tinyq.jpg[Q=50,strip]'
  vips black g.v 4 4 && vips copy g.v grey.png
  vips bandjoin_const d.v a.v 128 && vips cast a.v a2.v uchar && vips copy a2.v alpha.png
  for f in mp4 mov mkv 3gp ts; do ffmpeg -f lavfi -i testsrc=size=16x16:rate=1 -frames:v 1 \
    -metadata creation_time=2024-03-01T12:30:45Z -c:v mpeg4 tiny.$f; done
  ffmpeg -f lavfi -i testsrc=size=16x16:rate=1 -frames:v 1 -c:v libvpx-vp9 tiny.webm

Everything else is written here byte by byte."""
import os
import struct
import sys
import zlib

here = os.path.dirname(os.path.abspath(__file__))
images = sys.argv[1]


def put(target, name, data):
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(width, height, rows=None):
    head = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
    data = zlib.compress(rows if rows is not None else b"\x00" * (width + 1) * height)
    return head + chunk(b"IDAT", data) + chunk(b"IEND", b"")


def jpeg_sof(width, height):
    # SOI, a baseline SOF0 declaring the size with one component, EOI.
    sof = b"\xff\xc0" + struct.pack(">HBHHB", 11, 8, height, width, 1) + b"\x01\x11\x00"
    return b"\xff\xd8" + sof + b"\xff\xd9"


def tiff_exif():
    # Little-endian TIFF: IFD0 with Orientation 6 and a pointer to the Exif
    # IFD, which holds DateTimeOriginal, its offset, sub-seconds and the
    # iOS screenshot comment.
    date = b"2024:03:01 12:30:45\x00"
    offset = b"+02:00\x00"
    sub = b"123\x00"
    comment = b"ASCII\x00\x00\x00Screenshot"
    ifd0_at = 8
    ifd0 = 2 + 2 * 12 + 4
    exif_at = ifd0_at + ifd0
    exif_entries = 4
    exif_size = 2 + exif_entries * 12 + 4
    data_at = exif_at + exif_size
    blobs = b""
    entries = []
    for tag, kind, blob in ((0x9003, 2, date), (0x9011, 2, offset), (0x9291, 2, sub), (0x9286, 7, comment)):
        if len(blob) <= 4:
            entries.append(struct.pack("<HHI", tag, kind, len(blob)) + blob.ljust(4, b"\x00"))
        else:
            entries.append(struct.pack("<HHII", tag, kind, len(blob), data_at + len(blobs)))
            blobs += blob
    out = b"II*\x00" + struct.pack("<I", ifd0_at)
    out += struct.pack("<H", 2)
    out += struct.pack("<HHIHH", 0x0112, 3, 1, 6, 0)
    out += struct.pack("<HHII", 0x8769, 4, 1, exif_at)
    out += struct.pack("<I", 0)
    out += struct.pack("<H", exif_entries) + b"".join(entries) + struct.pack("<I", 0)
    return out + blobs


def dng(preview, width=64, height=48, magic=42):
    # Little-endian DNG: IFD0 with the JPEG `preview` as its strip, make,
    # orientation 6, a SubIFD of 16-bit CFA data and an Exif IFD with the
    # capture time and its offset. The preview is declared 16 x 16: LibRaw
    # passes over smaller ones.
    def field(tag, kind, count, value):
        return (tag, kind, count, value)

    sensor = bytes(width * height * 2)
    ifd0 = [field(254, 4, 1, 1), field(256, 4, 1, 16), field(257, 4, 1, 16), field(258, 3, 3, b"\x08\x00" * 3),
            field(259, 3, 1, 7), field(262, 3, 1, 6), field(271, 2, 8, b"Velmora\x00"),
            field(273, 4, 1, "preview"), field(274, 3, 1, 6), field(277, 3, 1, 3), field(278, 4, 1, 16),
            field(279, 4, 1, len(preview)), field(330, 4, 1, "raw"), field(34665, 4, 1, "exif"),
            field(50706, 1, 4, b"\x01\x04\x00\x00")]
    raw = [field(254, 4, 1, 0), field(256, 4, 1, width), field(257, 4, 1, height), field(258, 3, 1, 16),
           field(259, 3, 1, 1), field(262, 3, 1, 32803), field(273, 4, 1, "sensor"), field(277, 3, 1, 1),
           field(278, 4, 1, height), field(279, 4, 1, len(sensor)), field(33421, 3, 2, b"\x02\x00\x02\x00"),
           field(33422, 1, 4, b"\x00\x01\x01\x02")]
    exif = [field(36867, 2, 20, b"2024:03:01 12:30:45\x00"), field(36881, 2, 7, b"+02:00\x00")]
    at = {"raw": 8 + 6 + 12 * len(ifd0)}
    at["exif"] = at["raw"] + 6 + 12 * len(raw)
    data_at = at["exif"] + 6 + 12 * len(exif)
    long_values = sum(len(v) + len(v) % 2 for ifd in (ifd0, raw, exif) for _, _, _, v in ifd
                      if isinstance(v, bytes) and len(v) > 4)
    at["preview"] = data_at + long_values
    at["sensor"] = at["preview"] + len(preview) + len(preview) % 2
    out, data = b"II" + struct.pack("<HI", magic, 8), b""
    for ifd in (ifd0, raw, exif):
        out += struct.pack("<H", len(ifd))
        for tag, kind, count, value in ifd:
            if isinstance(value, str):
                value = at[value]
            if isinstance(value, int):
                value = struct.pack("<I" if kind == 4 else "<HH", *((value,) if kind == 4 else (value, 0)))
            if len(value) > 4:
                out += struct.pack("<HHII", tag, kind, count, data_at + len(data))
                data += value + b"\x00" * (len(value) % 2)
            else:
                out += struct.pack("<HHI", tag, kind, count) + value.ljust(4, b"\x00")
        out += struct.pack("<I", 0)
    out += data + preview + b"\x00" * (len(preview) % 2)
    return out + sensor


XMP = ('<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>'
       '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
       '<rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:Rating="5"/>'
       '</rdf:RDF></x:xmpmeta><?xpacket end="w"?>')


def app1(payload):
    return b"\xff\xe1" + struct.pack(">H", len(payload) + 2) + payload


def read(name):
    with open(os.path.join(images, name), "rb") as f:
        return f.read()


# Identifiers as requests carry them, good and hostile.
for i, text in enumerate(["DCIM/IMG_0001.JPG", "Caf%E9.jpg", "100%25.jpg", "../outside.jpg",
                          "/etc/passwd", "a/./b.jpg", "a//b.jpg", ".hidden/x.jpg", "%2E%2E/x.jpg",
                          "Urlaub 2024/Strand ☀.heic", "x%2Fy.jpg", "%C3%A9.jpg"]):
    put("identifier", f"seed{i:02}", text)

# Decoding: tiny images of each format libvips opens, and headers declaring
# sizes beyond the limit.
for name in ["tiny.png", "tiny.gif", "tiny.webp", "tiny.tif", "tinyq.jpg", "grey.png", "alpha.png"]:
    put("image_decode", name, read(name))
put("image_decode", "huge.png", png(100000, 100000, b""))
put("image_decode", "huge.jpg", jpeg_sof(65500, 65500))
put("image_decode", "truncated.png", png(8, 8)[:60])

# Metadata: a JPEG with EXIF and XMP, the same header alone, a sidecar.
jpeg = read("tinyq.jpg")
exif = app1(b"Exif\x00\x00" + tiff_exif())
xmp = app1(b"http://ns.adobe.com/xap/1.0/\x00" + XMP.encode())
put("metadata", "exif_xmp.jpg", jpeg[:2] + exif + xmp + jpeg[2:])
put("metadata", "header_only.jpg", jpeg[:2] + exif + b"\xff\xd9")
put("metadata", "sidecar.xmp", XMP)
put("metadata", "tiny.png", read("tiny.png"))
put("metadata", "tiny.tif", read("tiny.tif"))
put("metadata", "tiny.webp", read("tiny.webp"))
put("metadata", "truncated.png", png(8, 8)[:60])

# RAW files as LibRaw reads them: a DNG, the same with a header Exiv2
# refuses, and one cut inside its preview.
put("raw", "tiny.dng", dng(read("tinyq.jpg")))
put("raw", "magic43.dng", dng(read("tinyq.jpg"), magic=43))
put("raw", "cut.dng", dng(read("tinyq.jpg"))[:400])

# Texts: EXIF date, offset and sub-seconds split by NUL; container dates;
# screenshot names and comments.
for i, text in enumerate(["2024:03:01 12:30:45\x00+02:00\x00123", "0000:00:00 00:00:00\x00\x00",
                          "2024:02:30 25:61:61\x00-14:00\x009999999999",
                          "2016-05-31T17:01:35.000000Z", "2023-05-09T13:48:30+0200",
                          "Screenshot from 2024-03-01 12-30-45.png", "Screenshots/x.png",
                          "Bildschirmfoto 2024-03-01 um 12.30.45.png", "Screenshot_20240301-123045_Chrome.jpg",
                          "Screenshot"]):
    put("metadata_text", f"seed{i:02}", text)

# Semantic requests.
for i, text in enumerate(['{"items":[]}', '{"items":{}}', '[]', 'not json', '{"items":[1,"a",null]}',
                          '{"items":[{"id":1,"path":"a.ok","fingerprint":"x"},{"id":"b","path":"b"}]}',
                          '{"items":[{"path":7},{"path":"c.ok","id":[1,{"a":2}],"fingerprint":1.5}]}',
                          '{"items":[{"path":"\\u00e9.ok"},{"path":"\\ud800"}]}']):
    put("semantic_request", f"seed{i:02}", text)

# Delete requests, against the library delete_request_fuzz lays out.
for i, text in enumerate(['{"ids":["DCIM/IMG_0001.jpg"]}',
                          '{"ids":["b.png","Caf%E9.jpg"],"checks":[{"id":"b.png","hash":"00"}]}',
                          '{"ids":["../outside/secret.jpg"]}', '{"ids":["escape/secret.jpg"]}',
                          '{"ids":["DCIM/linked.jpg","b.png","fav.jpg"]}', '{"ids":[]}', '{"ids":"b.png"}',
                          '{"ids":["b.png","b.png"]}', '{"ids":[".hidden/h.jpg"]}', '{"ids":["/etc/passwd"]}',
                          '{"ids":["DCIM/IMG_0001.jpg"],"checks":null}',
                          '{"ids":["b.png"],"checks":[{"id":"DCIM/IMG_0001.jpg"}]}',
                          '{"ids":["DCIM//IMG_0001.jpg","DCIM/./IMG_0001.jpg","DCIM/IMG_0001.MOV"]}',
                          '[["ids"]]', b'\xff\xfe']):
    put("delete_request", f"seed{i:02}", text)

# Videos: one frame in each container the library knows.
for name in ["tiny.mp4", "tiny.mov", "tiny.mkv", "tiny.3gp", "tiny.ts", "tiny.webm"]:
    put("video_metadata", name, read(name))

# Previews: the first byte chooses the road (0 still file, 1 encoded still,
# 2 encoded still with an orientation byte, 3 video file).
for name in ["tinyq.jpg", "tiny.png", "alpha.png", "tiny.webp", "tiny.gif", "tiny.tif"]:
    put("preview", "0-" + name, b"\x00" + read(name))
put("preview", "1-tinyq.jpg", b"\x01" + read("tinyq.jpg"))
for orientation in (3, 6, 8):
    put("preview", f"2-{orientation}-tinyq.jpg", bytes([2, orientation]) + read("tinyq.jpg"))
put("preview", "0-huge.png", b"\x00" + png(100000, 100000, b""))
for name in ["tiny.mp4", "tiny.mkv", "tiny.webm"]:
    put("preview", "3-" + name, b"\x03" + read(name))
