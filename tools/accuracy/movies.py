"""Simulated particle movies with known tracks, from fixed seeds.

Like the Particle Tracking Challenge's (Chenouard et al., Nature Methods
2014): 512 x 512 pixels, 100 frames, Gaussian spots of standard deviation
1 to 2 px (uniform, one per particle) on a background of 100 photons, with
Poisson noise and Gaussian read noise of standard deviation 10 (so the
background's noise is sqrt(100 + 10^2) = 14.1 grey levels); a spot's
amplitude is SNR times that noise. Pixel values are rounded and clipped to
0..255 (8 bits).

Particles appear and disappear: about DENSITY of them in every frame, each
living an exponential time of mean 40 frames (at least 3), a new one
appearing at a uniform place for each that goes; a particle that leaves the
field is gone. Motion:

- "receptor": Brownian, D = 1 px^2 a frame (a step of 1.41 px standard
  deviation per axis);
- "vesicle": Brownian with D = 0.25 px^2 a frame, switching (probability
  0.1 a frame) to and from directed runs of 2 to 5 px a frame in a direction
  drawn for each run.

Positions are in pixel coordinates: pixel (x, y) covers x - 0.5 .. x + 0.5
and holds the spot sampled at its centre.
"""

import numpy as np

SIZE = 512
FRAMES = 100
MOTIONS = ("receptor", "vesicle")
SNRS = (1, 2, 4, 7)
DENSITIES = (100, 500, 1000)

BACKGROUND = 100.0
READ_NOISE = 10.0
NOISE = float(np.sqrt(BACKGROUND + READ_NOISE ** 2))
MEAN_LIFE = 40.0
RECEPTOR_D = 1.0
VESICLE_D = 0.25
SWITCH = 0.1
RUN_SPEED = (2.0, 5.0)


def movie_name(motion, snr, density, seed):
    return f"{motion}-snr{snr}-density{density}-{seed}"


def simulate_tracks(motion, density, seed, frames=FRAMES, size=SIZE):
    """The truth: an array of (frame, x, y, particle, sigma) rows."""
    rng = np.random.default_rng([MOTIONS.index(motion), density, seed])

    def newborn(n):
        return {"x": rng.uniform(0, size - 1, n), "y": rng.uniform(0, size - 1, n),
                "life": np.maximum(3, np.rint(rng.exponential(MEAN_LIFE, n))).astype(int),
                "sigma": rng.uniform(1.0, 2.0, n), "running": np.zeros(n, bool),
                "vx": np.zeros(n), "vy": np.zeros(n)}

    alive = newborn(density)
    # A steady state: the first particles are part-way through their lives.
    alive["life"] = np.maximum(1, (alive["life"] * rng.uniform(0, 1, density)).astype(int))
    ids = np.arange(density)
    next_id = density
    rows = []
    for f in range(frames):
        inside = (alive["x"] >= -0.5) & (alive["x"] < size - 0.5) & (alive["y"] >= -0.5) & (alive["y"] < size - 0.5)
        keep = inside & (alive["life"] > 0)
        # Those gone are replaced by as many new ones.
        gone = int((~keep).sum())
        if gone:
            born = newborn(gone)
            alive = {k: np.concatenate([v[keep], born[k]]) for k, v in alive.items()}
            ids = np.concatenate([ids[keep], np.arange(next_id, next_id + gone)])
            next_id += gone
        rows.append(np.column_stack([np.full(len(ids), f), alive["x"], alive["y"], ids, alive["sigma"]]))
        # Move for the next frame.
        n = len(ids)
        d = RECEPTOR_D if motion == "receptor" else VESICLE_D
        alive["x"] = alive["x"] + rng.normal(0, np.sqrt(2 * d), n)
        alive["y"] = alive["y"] + rng.normal(0, np.sqrt(2 * d), n)
        if motion == "vesicle":
            switch = rng.uniform(0, 1, n) < SWITCH
            starting = switch & ~alive["running"]
            alive["running"] = alive["running"] ^ switch
            speed = rng.uniform(*RUN_SPEED, n)
            angle = rng.uniform(0, 2 * np.pi, n)
            alive["vx"] = np.where(starting, speed * np.cos(angle), alive["vx"])
            alive["vy"] = np.where(starting, speed * np.sin(angle), alive["vy"])
            alive["x"] = alive["x"] + np.where(alive["running"], alive["vx"], 0.0)
            alive["y"] = alive["y"] + np.where(alive["running"], alive["vy"], 0.0)
        alive["life"] = alive["life"] - 1
    truth = np.concatenate(rows)
    return truth


def render(truth, snr, seed, frames=FRAMES, size=SIZE):
    """The movie of the truth: uint8, frames x size x size."""
    rng = np.random.default_rng([snr, seed, 7])
    amplitude = snr * NOISE
    movie = np.empty((frames, size, size), np.uint8)
    reach = 8  # 4 sigma of the widest spot
    offsets = np.arange(-reach, reach + 1)
    order = np.argsort(truth[:, 0], kind="stable")
    truth = truth[order]
    bounds = np.searchsorted(truth[:, 0], np.arange(frames + 1))
    for f in range(frames):
        spots = truth[bounds[f]:bounds[f + 1]]
        expected = np.full(size * size, BACKGROUND)
        if len(spots):
            cx = np.rint(spots[:, 1]).astype(int)
            cy = np.rint(spots[:, 2]).astype(int)
            px = cx[:, None, None] + offsets[None, None, :]
            py = cy[:, None, None] + offsets[None, :, None]
            s = spots[:, 4][:, None, None]
            value = amplitude * np.exp(-((px - spots[:, 1][:, None, None]) ** 2
                                         + (py - spots[:, 2][:, None, None]) ** 2) / (2 * s * s))
            inside = (px >= 0) & (px < size) & (py >= 0) & (py < size)
            px, py = np.broadcast_arrays(px, py)
            index = (py * size + px)[inside]
            expected += np.bincount(index, weights=value[inside], minlength=size * size)
        picture = rng.poisson(expected).astype(float) + rng.normal(0, READ_NOISE, size * size)
        movie[f] = np.clip(np.rint(picture), 0, 255).astype(np.uint8).reshape(size, size)
    return movie


def make_movie(motion, snr, density, seed, frames=FRAMES, size=SIZE):
    """(movie, truth): the truth's rows are (frame, x, y, particle, sigma)."""
    truth = simulate_tracks(motion, density, seed, frames, size)
    return render(truth, snr, seed, frames, size), truth
