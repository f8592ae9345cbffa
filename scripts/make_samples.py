#!/usr/bin/python3
"""Writes the download server's tree of sample scenes and the update package.

    /usr/bin/python3 scripts/make_samples.py OUT FBX_SAMPLE_WRITER

OUT receives

    web/cache/wine.zip            wine/wine.NNN.bin          red wine poured from a bottle
    web/cache/fireball_low.zip    fireball_low/...NNN.bin    a rising, swelling fireball
    web/camera/wine_cam.zip       wine_cam.fbx               cameras swinging round them
    web/camera/fireball_cam.zip   fireball_cam.fbx
    web/geometry/glass_bottle.zip glass_bottle.fbx           the tilted bottle that pours
    package/latest                the newest revision, "0023"
    package/0023.zip              its package

The particle caches are written frame by frame with the program's own cache writer
(resource/python/shared_lib.py); the FBX files come from FBX_SAMPLE_WRITER. Scene units are
centimetres with +y up, as the program's FBX import delivers them, so particles, bottle and
cameras meet. Every run gives the same bytes: the random numbers have fixed seeds and the
archive members fixed dates.
"""

import math
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "resource", "python"))

import shared_lib  # noqa: E402  (found through the folder added above)

FPS = 30
GRAVITY = 981.0  # cm/s^2
LATEST = "0023"

# The bottle lies tilted in the x-y plane: turned about z so that its neck points to +x and
# 25 degrees down, its base centre at BOTTLE_AT. The profile's lip is 26.3 cm above the base
# and 1.1 cm wide (the writer's bottle); the wine leaves through the mouth there and lands
# around the origin.
BOTTLE_TURN = -115.0
BOTTLE_AT = (-29.0, 30.0, 0.0)
BOTTLE_LENGTH = 26.3
MOUTH_RADIUS = 1.1

WINE_FRAMES = 60
FIREBALL_FRAMES = 50
FIREBALL_PARTICLES = 1000


def bottle_axis():
    """Unit vector from the base of the tilted bottle to its mouth."""
    a = math.radians(BOTTLE_TURN)
    return (-math.sin(a), math.cos(a), 0.0)


def bottle_mouth():
    axis = bottle_axis()
    return tuple(BOTTLE_AT[k] + BOTTLE_LENGTH * axis[k] for k in range(3))


# ---------------------------------------------------------------------------
# Set points
# ---------------------------------------------------------------------------


def file_xyz(v):
    """A scene vector as the cache file stores it: x, y, z in order."""
    return {"x": v[0], "y": v[1], "z": v[2]}


def particle_record(pos, velocity, scale, age):
    """A particle dict with every key the cache writer packs; "pressure" carries the scale."""
    zero = {"x": 0.0, "y": 0.0, "z": 0.0}
    return {"pos": file_xyz(pos), "pressure": scale, "velocity": file_xyz(velocity),
            "force": dict(zero), "vorticity": dict(zero), "normal_vector": dict(zero),
            "texture_vector": {"u": 0.0, "v": 0.0, "w": 0.0}, "neighbors": 0.0,
            "info_bits": 0.0, "elapsed_particle_time": age, "isolation_time": 0.0,
            "viscosity": 0.0, "density": 0.0, "mass": 1.0, "temperature": 0.0}


def stats(values):
    if not values:
        return {"max": 0.0, "min": 0.0, "ave": 0.0}
    return {"max": max(values), "min": min(values), "ave": sum(values) / len(values)}


def set_point(name, frame, particles, emitter, radius):
    """The set point of one frame: particles maps id -> (position, velocity, scale, age)."""
    records = {pid: particle_record(*p) for pid, p in particles.items()}
    speeds = [math.sqrt(sum(c * c for c in p[1])) for p in particles.values()]
    header = {
        "name": name, "fps": FPS, "frame_number": float(frame), "scale_scene": 1.0,
        "fluid_type": shared_lib.FLUID_TYPE_PRESSURE,
        "elapsed_simulation_time": frame / FPS, "radius": radius,
        "pressure": stats([p[2] for p in particles.values()]), "speed": stats(speeds),
        "temperature": stats([]), "emitter_position": file_xyz(emitter),
        "emitter_rotation": file_xyz((0.0, 0.0, 0.0)), "emitter_scale": file_xyz((1.0, 1.0, 1.0)),
    }
    return {"header": header, "particle": records, "footer": {}}


def write_cache(folder, name, frames, emitter, radius):
    """Writes folder/name.NNN.bin per frame, numbered as the program names its saves."""
    os.makedirs(folder)
    width = len(str(len(frames))) + 1
    for frame, particles in enumerate(frames):
        path = os.path.join(folder, "%s.%0*d.bin" % (name, width, frame))
        shared_lib.export_bin([folder, path], set_point(name, frame, particles, emitter, radius))


# ---------------------------------------------------------------------------
# Wine: a stream from the bottle's mouth onto the floor, spreading into a puddle
# ---------------------------------------------------------------------------


def wine_frames():
    rng = random.Random(22)
    axis = bottle_axis()
    mouth = bottle_mouth()
    # Two directions across the neck, for where in the mouth a drop leaves.
    across = (-axis[1], axis[0], 0.0)
    depth = (0.0, 0.0, 1.0)
    dt = 1.0 / FPS
    substeps = 4
    h = dt / substeps
    emitted_per_frame = 40
    preroll = 12  # frames run before the first one kept, so that the stream already pours

    # id -> [position, velocity, scale, age, state]; state "air", "pool" or "drop"
    live = {}
    next_id = 0
    frames = []
    for step in range(preroll + WINE_FRAMES):
        t = step * dt
        # The flow glugs a little, as from a bottle.
        flow = 1.0 + 0.25 * math.sin(t * 2.0 * math.pi * 2.3)
        for _ in range(int(round(emitted_per_frame * flow))):
            r = MOUTH_RADIUS * 0.75 * math.sqrt(rng.random())
            a = rng.uniform(0.0, 2.0 * math.pi)
            offset = [across[k] * r * math.cos(a) + depth[k] * r * math.sin(a) for k in range(3)]
            speed = rng.uniform(26.0, 31.0)
            pos = [mouth[k] + offset[k] for k in range(3)]
            vel = [axis[k] * speed + rng.gauss(0.0, 0.8) for k in range(3)]
            # Spread the births over the frame so the stream does not come in slices.
            lead = rng.random() * dt
            for k in range(3):
                pos[k] += vel[k] * lead
            vel[1] -= GRAVITY * lead
            live[next_id] = [pos, vel, rng.uniform(1.8, 2.2), 0.0, "air"]
            next_id += 1

        for pid in list(live):
            p = live[pid]
            pos, vel, _, _, state = p
            if state == "pool":
                # Spreads on the floor and slows down.
                keep = math.exp(-3.0 * dt)
                for k in (0, 2):
                    pos[k] += vel[k] * dt
                    vel[k] *= keep
            else:
                for _ in range(substeps):
                    vel[1] -= GRAVITY * h
                    for k in range(3):
                        pos[k] += vel[k] * h
                    if pos[1] <= 0.0:
                        break
                if pos[1] <= 0.0:
                    if state == "air" and rng.random() < 0.12:
                        # A splash: the drop jumps up again and away from the impact.
                        a = rng.uniform(0.0, 2.0 * math.pi)
                        out = rng.uniform(8.0, 25.0)
                        p[1] = [vel[0] * 0.3 + out * math.cos(a), rng.uniform(25.0, 70.0),
                                out * math.sin(a)]
                        pos[1] = 0.05
                        p[4] = "drop"
                    elif state == "air" and rng.random() < 0.75:
                        # Most of the stream merges into the puddle already there.
                        del live[pid]
                        continue
                    else:
                        a = rng.uniform(0.0, 2.0 * math.pi)
                        out = rng.uniform(2.0, 16.0)
                        p[1] = [vel[0] * 0.25 + out * math.cos(a), 0.0,
                                vel[2] * 0.25 + out * math.sin(a)]
                        pos[1] = rng.uniform(0.05, 0.35)
                        p[2] = rng.uniform(2.4, 3.0)  # flattened in the puddle
                        p[4] = "pool"
            p[3] += dt

        if step >= preroll:
            frames.append({pid: (tuple(p[0]), tuple(p[1]), p[2], p[3])
                           for pid, p in live.items()})
    return frames


# ---------------------------------------------------------------------------
# Fireball: a ball that swells, rises and cools into larger, slower puffs
# ---------------------------------------------------------------------------


def fireball_frames():
    rng = random.Random(23)
    seeds = []
    for _ in range(FIREBALL_PARTICLES):
        # A direction on the sphere and a depth in the ball, denser towards the surface.
        z = rng.uniform(-1.0, 1.0)
        a = rng.uniform(0.0, 2.0 * math.pi)
        s = math.sqrt(1.0 - z * z)
        direction = (s * math.cos(a), z, s * math.sin(a))
        depth = rng.random() ** 0.25
        seeds.append((direction, depth, rng.uniform(0.55, 1.0), rng.uniform(0.0, 2.0 * math.pi),
                      rng.uniform(0.6, 1.4)))
    frames = []
    last = FIREBALL_FRAMES - 1
    for frame in range(FIREBALL_FRAMES):
        u = frame / last
        radius = 1.5 + 12.5 * (1.0 - math.exp(-3.0 * u)) / (1.0 - math.exp(-3.0))
        centre = (0.0, 6.0 + 20.0 * u * u + 4.0 * u, 0.0)
        particles = {}
        for pid, (direction, depth, grow, phase, wobble) in enumerate(seeds):
            # The top rises faster than the bottom, which rolls the ball into a mushroom cap.
            lift = 3.5 * u * (direction[1] + 1.0)
            swirl = 0.08 * radius * math.sin(phase + 6.0 * u * wobble)
            r = radius * depth * (1.0 + swirl / max(radius, 1e-6))
            pos = (centre[0] + direction[0] * r, centre[1] + direction[1] * r * 0.85 + lift,
                   centre[2] + direction[2] * r)
            growth = 12.5 * 3.0 * math.exp(-3.0 * u) / (1.0 - math.exp(-3.0)) / last
            vel = tuple(direction[k] * depth * growth * FPS for k in range(3))
            scale = 1.0 + 5.0 * grow * u ** 0.7
            particles[pid] = (pos, vel, scale, frame / FPS)
        frames.append(particles)
    return frames


# ---------------------------------------------------------------------------
# Archives and FBX files
# ---------------------------------------------------------------------------


def write_zip(archive, root, members):
    """Zips the files `members` (paths relative to root) in the given order, with fixed dates."""
    os.makedirs(os.path.dirname(archive), exist_ok=True)
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as out:
        for member in members:
            info = zipfile.ZipInfo(member, date_time=(2012, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            with open(os.path.join(root, member), "rb") as data:
                out.writestr(info, data.read())


def zip_folder(archive, root, folder):
    names = sorted(os.listdir(os.path.join(root, folder)))
    write_zip(archive, root, [folder + "/" + name for name in names])


def run_writer(writer, kind, path, options):
    subprocess.run([writer, kind, path] + [str(o) for o in options], check=True)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    out, writer = argv[1], argv[2]
    work = tempfile.mkdtemp(prefix="kavrin_samples_")
    try:
        wine = wine_frames()
        write_cache(os.path.join(work, "wine"), "wine", wine, bottle_mouth(), 0.3)
        write_cache(os.path.join(work, "fireball_low"), "fireball_low", fireball_frames(),
                    (0.0, 6.0, 0.0), 0.5)

        run_writer(writer, "bottle", os.path.join(work, "glass_bottle.fbx"),
                   ["--at", *BOTTLE_AT, "--rotate", 0, 0, BOTTLE_TURN])
        # The wine camera swings round the front of the pour and closes in a little; the
        # fireball camera circles a third of the way round the rising ball.
        run_writer(writer, "camera", os.path.join(work, "wine_cam.fbx"),
                   ["--centre", -11.0, 14.0, 0.0, "--radius", 76, "--height", 20,
                    "--frames", 0, WINE_FRAMES - 1, "--turn", 55, 115, "--focal", 32, 38])
        run_writer(writer, "camera", os.path.join(work, "fireball_cam.fbx"),
                   ["--centre", 0.0, 19.0, 0.0, "--radius", 95, "--height", 4,
                    "--frames", 0, FIREBALL_FRAMES - 1, "--turn", 20, 140, "--focal", 38, 32])

        with open(os.path.join(work, "notes.txt"), "w", encoding="utf-8") as notes:
            notes.write("Kavrin revision %s\n" % LATEST)

        # Built in a fresh folder and moved into place, so that OUT is never half written.
        fresh = out.rstrip("/") + ".new"
        shutil.rmtree(fresh, ignore_errors=True)
        web = os.path.join(fresh, "web")
        zip_folder(os.path.join(web, "cache", "wine.zip"), work, "wine")
        zip_folder(os.path.join(web, "cache", "fireball_low.zip"), work, "fireball_low")
        write_zip(os.path.join(web, "camera", "wine_cam.zip"), work, ["wine_cam.fbx"])
        write_zip(os.path.join(web, "camera", "fireball_cam.zip"), work, ["fireball_cam.fbx"])
        write_zip(os.path.join(web, "geometry", "glass_bottle.zip"), work, ["glass_bottle.fbx"])
        write_zip(os.path.join(fresh, "package", LATEST + ".zip"), work, ["notes.txt"])
        with open(os.path.join(fresh, "package", "latest"), "w", encoding="ascii") as latest:
            latest.write(LATEST + "\n")
        shutil.rmtree(out, ignore_errors=True)
        os.rename(fresh, out)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
