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


def channel_values(pid):
    """Distinct values of every record field beyond position, scale and id, in record order:
    velocity, force, vorticity, normal, neighbours, texture, info bits, elapsed and isolation
    time, viscosity, density; then mass and temperature."""
    vectors = [f32(pid * 0.5 + k) - 40.0 for k in range(12)]
    return (vectors, pid * 3 - 100, [0.125 * pid, 1.0 - pid, 2.0], pid % 300 - 150,
            [pid / 8.0, 0.5, -1.5 * pid, 7.25], [pid * 0.01, 300.0 + pid])


def write_frame(path, particles, channels=False):
    def record(pid, x, y, z, scale):
        if not channels:
            return RECORD.pack(x, y, z, *velocity(pid), *([0.0] * 9), 0, 0.0, 0.0, 0.0, 0,
                               0.0, 0.0, 0.0, 0.0, scale, 0.0, 0.0, pid)
        vectors, neighbours, texture, bits, times, last = channel_values(pid)
        return RECORD.pack(x, y, z, *vectors, neighbours, *texture, bits, *times, scale, *last,
                           pid)
    head = HEADER.pack(0x00FABADA, b"", 9, 0.0, FLUID_TYPE_PRESSURE, 0.0, 0, 30,
                       len(particles), 0.0, *([0.0] * 18))
    body = b"".join(record(pid, x, y, z, scale) for pid, (x, y, z), scale in particles)
    with open(path, "wb") as out:
        out.write(head + body + b"\0" * 6)


def make_cache(folder, frames=12, count=400, channels=False):
    """Writes frames 0 .. frames - 1 as folder/<name>.<nnn>.bin, with channel_values in the
    other fields when asked; returns their particles."""
    os.makedirs(folder, exist_ok=True)
    name = os.path.basename(folder.rstrip("/"))
    scene = {}
    for f in range(frames):
        scene[f] = frame_particles(f, count)
        write_frame(os.path.join(folder, "%s.%03d.bin" % (name, f)), scene[f], channels)
    return scene


def f32(value):
    """value rounded to single precision, as a cache holds it."""
    return struct.unpack("<f", struct.pack("<f", value))[0]
