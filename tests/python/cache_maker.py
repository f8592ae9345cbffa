"""Small particle caches for the tests, written byte by byte from the documented file layout
(version 9: a 356-byte header, 110-byte particle records, a 6-byte footer)."""

import math
import os
import struct

HEADER = struct.Struct("<i250shfifiiif18f")
RECORD = struct.Struct("<15fi3fh7fi")
FLUID_TYPE_PRESSURE = -2147483646


def frame_particles(frame, count):
    """(id, (x, y, z), scale) of every particle of a frame: a wavy sheet drifting upwards, the
    same ids in every frame, so that strokes carry from frame to frame."""
    side = max(1, int(math.sqrt(count)))
    out = []
    for pid in range(count):
        u, v = (pid % side) / side - 0.5, (pid // side) / side - 0.5
        out.append((pid, (u, 0.1 * math.sin(3 * u + 0.2 * frame) + 0.02 * frame, v),
                    1.0 + 0.001 * pid))
    return out


def velocity(pid):
    """The velocity a test cache's records carry for a particle, so that it can be told apart."""
    return (0.5 * pid, -1.0, 0.25 * (pid % 7))


def write_frame(path, particles):
    head = HEADER.pack(0x00FABADA, b"", 9, 0.0, FLUID_TYPE_PRESSURE, 0.0, 0, 30,
                       len(particles), 0.0, *([0.0] * 18))
    body = b"".join(RECORD.pack(x, y, z, *velocity(pid), *([0.0] * 9), 0, 0.0, 0.0, 0.0, 0,
                                0.0, 0.0, 0.0, 0.0, scale, 0.0, 0.0, pid)
                    for pid, (x, y, z), scale in particles)
    with open(path, "wb") as out:
        out.write(head + body + b"\0" * 6)


def make_cache(folder, frames=12, count=400):
    """Writes frames 0 .. frames - 1 as folder/<name>.<nnn>.bin; returns their particles."""
    os.makedirs(folder, exist_ok=True)
    name = os.path.basename(folder.rstrip("/"))
    scene = {}
    for f in range(frames):
        scene[f] = frame_particles(f, count)
        write_frame(os.path.join(folder, "%s.%03d.bin" % (name, f)), scene[f])
    return scene


def f32(value):
    """value rounded to single precision, as a cache holds it."""
    return struct.unpack("<f", struct.pack("<f", value))[0]
