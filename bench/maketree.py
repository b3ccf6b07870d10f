"""Writes a directory tree shaped like /usr/share/doc for the tree benchmarks
(bench/tree.sh, bench/soak.sh --tree), the same tree for the same seed:

    python3 bench/maketree.py ROOT FILES DIRS LINKS [BIG] [SEED]

ROOT must not exist.  DIRS directories (ROOT counts as one) a few levels
deep, a few of them empty; FILES regular files, mostly text of a few hundred
bytes to a few KiB, about one in nine of 10-100 KiB and BIG (default 0) of
1 MiB; LINKS relative symbolic links to files, to sibling directories and,
one in five, to nothing.  Modes vary (0644, 0755, 0640, 0600; directories
0755, 0750, 0700) and every entry, links and directories included, gets its
own modification time with nanoseconds, so that a copy that rounds or drops
times shows.  Prints "FILES DIRS LINKS DANGLING BYTES".
"""
import os
import random
import sys

PACKAGES = ["lib", "python3-", "gir1.2-", "fonts-", "x11-", "perl-", "gnome-", ""]
SYLLABLES = ["ab", "cor", "dex", "el", "fu", "gra", "hon", "ix", "jet", "kal", "lum", "mo",
             "nex", "op", "pra", "qu", "ril", "sto", "tu", "vex", "wim", "xo", "yal", "zed"]
SUBDIRS = ["examples", "html", "contrib", "api", "images", "tests", "tutorial", "css",
           "reference", "howto", "extra", "samples"]
FILES = ["README", "copyright", "changelog", "NEWS", "TODO", "AUTHORS", "THANKS",
         "index", "FAQ", "example", "overview", "module", "release-notes"]
EXTS = ["", "", ".txt", ".html", ".gz", ".md", ".py", ".c", ".css", ".png"]
FILE_MODES = [0o644] * 89 + [0o755] * 6 + [0o640] * 3 + [0o600] * 2
DIR_MODES = [0o755] * 94 + [0o750] * 4 + [0o700] * 2
# Text-like bytes: letters, spaces and now and then a newline.
TEXT = bytes.maketrans(bytes(range(256)), bytes(
    (b"abcdefghijklmnopqrstuvwxyzetaoinshr" * 8)[:216] + b" " * 36 + b"\n" * 4))
NOW_NS = 1_750_000_000 * 10**9


def main():
    root, nfiles, ndirs, nlinks = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), \
        int(sys.argv[4])
    big = int(sys.argv[5]) if len(sys.argv) > 5 else 0
    rng = random.Random(int(sys.argv[6]) if len(sys.argv) > 6 else 1)
    os.makedirs(root)
    names = {"": set()}   # directory (relative) -> names in it
    dirs = [""]
    depth = {"": 0}

    def unique(parent, base):
        name, n = base, 1
        while name in names[parent]:
            n += 1
            name = "%s.%d" % (base, n)
        names[parent].add(name)
        return os.path.join(parent, name) if parent else name

    # Nearly half the directories are packages at the top; the rest nest
    # below them, at most six deep.
    while len(dirs) < ndirs:
        if rng.random() < 0.45 or len(dirs) == 1:
            base = rng.choice(PACKAGES) + "".join(
                rng.choice(SYLLABLES) for _ in range(rng.randint(2, 3)))
            parent = ""
        else:
            parent = rng.choice([d for d in dirs[-200:] if d and depth[d] < 6] or dirs[1:])
            base = rng.choice(SUBDIRS)
        path = unique(parent, base)
        names[path] = set()
        depth[path] = depth[parent] + 1
        dirs.append(path)
        os.mkdir(os.path.join(root, path))

    # A few directories stay empty; the others hold files, the packages more.
    empty = set(rng.sample(dirs[1:], max(1, len(dirs) // 40))) if len(dirs) > 2 else set()
    holders = [d for d in dirs if d not in empty]
    weights = [3 if depth[d] == 1 else 1 for d in holders]
    sizes = []
    for i in range(nfiles):
        if i < big:
            sizes.append((1 << 20) + rng.randint(0, 4096))
        elif rng.random() < 0.11:
            sizes.append(rng.randint(10 << 10, 100 << 10))
        else:
            sizes.append(int(200 * 30 ** rng.random()))   # 200 B to 6 KiB
    rng.shuffle(sizes)
    files = []
    total = 0
    for i, size in enumerate(sizes):
        d = holders[i] if i < len(holders) else rng.choices(holders, weights)[0]
        path = unique(d, rng.choice(FILES) + rng.choice(EXTS))
        with open(os.path.join(root, path), "wb") as f:
            f.write(rng.randbytes(size).translate(TEXT))
        os.chmod(os.path.join(root, path), rng.choice(FILE_MODES))
        files.append(path)
        total += size

    dangling = 0
    tops = [d for d in dirs if depth[d] == 1]
    for _ in range(nlinks):
        d = rng.choice(holders)
        r = rng.random()
        if r < 0.2:
            target = rng.choice(["../missing-%d/README" % rng.randint(1, 99),
                                 "changelog.old", "../../gone/copyright"])
            dangling += 1
        elif r < 0.35 and len(tops) > 1:
            # A package that is another's documentation, as in the real one:
            # a link at the top to a sibling, never to an ancestor (no loops
            # for a copier that follows links).
            d = ""
            target = rng.choice(tops)
        else:
            target = os.path.relpath(rng.choice(files), d or ".")
        path = unique(d, "link-" + os.path.basename(target).replace(".", "-"))
        os.symlink(target, os.path.join(root, path))

    # Times last, directories deepest first, so that nothing made after
    # moves them.
    def stamp(path):
        t = NOW_NS - rng.randint(0, 5 * 365 * 86400) * 10**9 - rng.randint(0, 10**9 - 1)
        os.utime(os.path.join(root, path) if path else root, ns=(t, t), follow_symlinks=False)
    for d in dirs:
        for n in sorted(names[d]):
            p = os.path.join(d, n) if d else n
            if p not in names:
                stamp(p)
    for d in sorted(dirs, key=lambda p: -depth[p]):
        os.chmod(os.path.join(root, d) if d else root, rng.choice(DIR_MODES) if d else 0o755)
        stamp(d)
    print(len(files), len(dirs), nlinks, dangling, total)


if __name__ == "__main__":
    main()
