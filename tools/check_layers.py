#!/usr/bin/env python3
"""Keep every #include "..." of the tree pointing down the layers below.

usage: check_layers.py [--list] [REPO]

Reads the quoted includes of the .h .cc .l .y files git tracks in REPO
(default: the repository holding this script). Exit 1 with one line per
include that points up or across, 0 with a summary when all point down.
--list prints the layer of every file instead.
"""
import os
import re
import subprocess
import sys

# The layers, lowest first. A folder ending in "*/" stands for each of its
# subfolders on its own: such a layer may include only its own subfolder
# besides what it lists. The longest matching folder decides a file's layer.
# (name, folders, layers it may include besides itself, files or folders of
#  other layers it may include too, why)
LAYERS = (
    ("public", ("include/",), (), (), "the public headers stand alone"),
    ("base", ("framework/base/",), ("public",), (), ""),
    ("common", ("common/",), ("public", "base"), (), ""),
    ("components", ("mail/components/",), ("public", "base", "common"), (), ""),
    ("engines", ("engines/",),
     ("public", "base", "common", "components"), (), ""),
    ("language", ("rules/language/",), ("public", "base", "common"), (),
     "the rule language has no mail code"),
    ("rules", ("rules/",),
     ("public", "base", "common", "components", "engines", "language"), (), ""),
    ("modules", ("mail/modules/",),
     ("public", "base", "common", "components", "engines", "language",
      "rules"), (), ""),
    ("entry", ("framework/entry/",),
     ("public", "base", "common", "components", "engines", "language",
      "rules", "modules", "libs"), (), ""),
    ("libs", ("libs/*/",), ("public",), (),
     "each companion library stands alone"),
    ("host", ("tools/*/",), ("public",), ("common/wide_scan.h",),
     "a host sees the plug-in through its exports only"),
    ("tests", ("tests/",), ("public",),
     ("common/wide_scan.h", "framework/base/testing/"),
     "cross-folder tests drive the plug-in as a host does"),
    ("drivers", ("fuzz/", "bench/"),
     ("public", "base", "common", "components", "engines", "language",
      "rules", "modules", "libs"), (), "drivers reach internals, not exports"),
)

# Single files that may include more than their layer does.
EXCEPTIONS = (
    (("tools/emlscan/lint.cc", "tools/emlscan/lint.h"), ("language", "rules"),
     "lint loads rule files with the rule engine's own checks"),
    (("tools/emlscan/urldb.cc",), ("engines",),
     "urldb writes URL database files with the breaker's own database code"),
    (("tools/emlscan/train_layout.cc",), ("engines", "common"),
     "train-layout reads layouts and writes centres with the classifier's own code"),
    (("tools/emlscan/learn.cc",), ("engines", "common"),
     "learn and the auto-learner process of check, filter and the milter take tokens and "
     "write the token store with the classifier's own code"),
)

# Where a target with a folder part is looked for, in order: the repository
# root, then the public include folder (for "emlbreaker/...").
SEARCH_ROOTS = ("", "include/")

ENDINGS = (".h", ".cc", ".l", ".y")
INCLUDE_RE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
BY_NAME = {layer[0]: layer for layer in LAYERS}


def place(path):
    """(layer name, folder) of a repository path, or (None, None)."""
    best = (None, None)
    for name, folders, _, _, _ in LAYERS:
        for folder in folders:
            if folder.endswith("*/"):
                head = folder[:-2]
                rest = path[len(head):].split("/", 1)
                if not path.startswith(head) or len(rest) < 2 or not rest[0]:
                    continue
                folder = head + rest[0] + "/"
            elif not path.startswith(folder):
                continue
            if best[1] is None or len(folder) > len(best[1]):
                best = (name, folder)
    return best


def allowed(path, layer, folder, target, t_layer, t_folder):
    """None when PATH (in LAYER/FOLDER) may include TARGET, else why not."""
    name, folders, may, also, why = BY_NAME[layer]
    if t_layer == layer and (t_folder == folder
                             or not any(f.endswith("*/") for f in folders)):
        return None
    if t_layer in may or any(target == a or (a.endswith("/") and
                                             target.startswith(a))
                             for a in also):
        return None
    for files, layers, _ in EXCEPTIONS:
        if path in files and t_layer in layers:
            return None
    own = [folder] if any(f.endswith("*/") for f in folders) else []
    msg = "%s may include only %s" % (
        folder if own else layer, ", ".join(list(may) + list(also) + own))
    return msg + ("; " + why if why else "")


def tracked(repo):
    out = subprocess.run(["git", "-C", repo, "ls-files", "-z"], check=True,
                         stdout=subprocess.PIPE).stdout
    return [p for p in out.decode("utf-8", "replace").split("\0") if p]


def main(argv):
    args = [a for a in argv if a != "--list"]
    repo = args[0] if args else os.path.dirname(os.path.abspath(__file__))
    repo = subprocess.run(["git", "-C", repo, "rev-parse", "--show-toplevel"],
                          check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout.strip()
    files = set(p for p in tracked(repo)
                if os.path.isfile(os.path.join(repo, p)))
    sources = sorted(p for p in files if p.endswith(ENDINGS))
    if "--list" in argv:
        for path in sources:
            print("%-10s %s" % (place(path)[0] or "-", path))
        return 0
    count, bad = 0, []
    for path in sources:
        layer, folder = place(path)
        with open(os.path.join(repo, path), encoding="utf-8",
                  errors="replace") as f:
            lines = f.read().splitlines()
        for number, text in enumerate(lines, 1):
            m = INCLUDE_RE.match(text)
            if not m:
                continue
            count += 1
            target = m.group(1)
            where = "%s:%d: %s includes %s" % (path, number, layer or "-",
                                               target)
            if layer is None:
                bad.append("%s (-): %s lies in no layer" % (where, path))
                continue
            if "/" not in target:  # beside the includer, or generated there
                continue
            found = [r + target for r in SEARCH_ROOTS if r + target in files]
            if not found:
                bad.append("%s (-): names no file" % where)
                continue
            t_layer, t_folder = place(found[0])
            if t_layer is None:
                why = "%s lies in no layer" % found[0]
            else:
                why = allowed(path, layer, folder, found[0], t_layer, t_folder)
            if why:
                bad.append("%s (%s): %s" % (where, t_layer or "-", why))
    for line in bad:
        print(line)
    if bad:
        return 1
    print("%d includes in %d files, all pointing down" % (count, len(sources)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
