#!/usr/bin/env python3
"""The manual page and the bash completion as installed beside the program:
they are the tree's files, the page formats without a warning, and both
know exactly the options of the program's own help text."""

import gzip
import os
import re
import shutil
import subprocess

from plotr_e2e import Suite

suite = Suite(__doc__)
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(suite.args.data)))
PREFIX = os.path.dirname(os.path.dirname(suite.plotr))
MAN = os.path.join(PREFIX, "share", "man", "man1", "plotr.1.gz")
COMPLETION = os.path.join(PREFIX, "share", "bash-completion", "completions", "plotr")
for tool in ("groff", "man", "bash"):
    if not shutil.which(tool):
        suite.skip(f"no {tool}")


def read(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    return gzip.decompress(data) if path.endswith(".gz") else data


def source(path):
    return read(os.path.join(SOURCE, path))


suite.check("installed as the tree's files", [
    None if read(installed) == source(tree) else f"{installed} is not {tree}"
    for installed, tree in ((MAN, "man/plotr.1"), (COMPLETION, "completions/plotr"))])

help_text = subprocess.run([suite.plotr, "-help"], capture_output=True, text=True).stdout
# "  -url \t\tURL ...;\n\t\tdefault is ..." is one entry over two lines.
HELP_ENTRY = re.compile(r"^  (-\S+) ([^\n]*(?:\n\t[^\n]*)*)", re.M)
help_options = {name: text for name, text in HELP_ENTRY.findall(help_text)}
suite.check("help text lists its options", [
    None if {"-o", "--help"} <= help_options.keys() else f"help text {help_text!r}"])

# Formatting: lintian runs the second command; any output is a warning.
page = os.path.join(SOURCE, "man", "plotr.1")
for command in (["groff", "-man", "-ww", "-z", page],
                ["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page]):
    r = subprocess.run(command, capture_output=True, text=True)
    # man -Z writes the formatter's output; only groff -z must write nothing at all.
    said = r.stderr + (r.stdout if command[0] == "groff" else "")
    suite.check(" ".join(command[:2]) + " is silent", [
        None if r.returncode == 0 and not said else f"status {r.returncode}: {said}"])

rendered = subprocess.run(["man", "-l", page], capture_output=True, text=True,
                          env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
text = re.sub(".\b", "", rendered.stdout).replace("\u2010", "-").replace("\u2212", "-")
sections = dict(re.findall(r"^([A-Z][A-Z ]+)\n((?:(?: .*)?\n)*)", text, re.M))
# An entry of OPTIONS: its heading line at indent 7, its text at indent 14 below it.
entries = {}
for heading, body in re.findall(r"^ {7}(-\S.*)\n( {14}.*\n(?:(?: {8,}.*)?\n)*)",
                                sections.get("OPTIONS", ""), re.M):
    for name in re.findall(r"(?:^|, )(-[\w-]+)", heading):
        entries[name] = "".join(body.split())
problems = [f"{o} is not in OPTIONS" for o in help_options if o not in entries]
problems += [f"OPTIONS has {o}, which the help lacks" for o in entries if o not in help_options]
problems += [f"SYNOPSIS lacks {o}" for o in help_options
             if not re.search(rf"(?<![\w-]){o}(?![\w-])", sections.get("SYNOPSIS", ""))]
# Defaults compared without blanks, so a line break inside a URL does not matter.
for option, help_entry in help_options.items():
    default = re.search(r"default is (.*)", help_entry)
    if default and "defaultis" + "".join(default.group(1).strip('"').split()) \
            not in entries.get(option, ""):
        problems.append(f"{option}: the page does not give the default {default.group(1)}")
problems += [f"no {s} section" for s in ("NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS",
                                         "FILES", "ENVIRONMENT", "EXAMPLES", "SEE ALSO")
             if s not in sections]
suite.check("manual page documents the help's options and defaults", problems)

# Completion, in a scratch folder of files: (the words on the line, the last
# being completed; what must be offered).
scratch = os.path.join(suite.workdir, "files")
os.makedirs(os.path.join(scratch, "maps"))
for name in ("ride.gpx", "ride.png", "-odd.png", "my ride*.png", "day 2.gpx.gz"):
    open(os.path.join(scratch, name), "w").close()
OPTIONS = sorted(help_options)
CASES = [
    (["plotr", "-"], OPTIONS),
    (["plotr", ""], OPTIONS),
    (["plotr", "-h"], ["-heatmap", "-height", "-help", "-horizontal-padding"]),
    (["plotr", "-map-tone", "d"], ["dim"]),
    (["plotr", "--"], ["--help"]),
    (["plotr", "-nomarkers", "-c"], ["-cache", "-center", "-color", "-color-by", "-compress"]),
    (["plotr", "-o", ""], ["-odd.png", "day 2.gpx.gz", "maps", "my ride*.png", "ride.gpx",
                           "ride.png"]),
    (["plotr", "-o", "my"], ["my ride*.png"]),
    (["plotr", "-o", "ride."], ["ride.gpx", "ride.png"]),
    (["plotr", "-o", "-"], ["-odd.png"]),
    (["plotr", "-o", "x.png", "-no"], ["-nomarkers"]),
    (["plotr", "-compress", "<", "ri"], ["ride.gpx"]),
    (["plotr", "-gpx", ""], ["day 2.gpx.gz", "maps", "ride.gpx"]),
    (["plotr", "-pins", ""], ["file", "segment", "track"]),
    (["plotr", "<", ""], ["day 2.gpx.gz", "maps", "ride.gpx"]),
    (["plotr", "-cache", ""], ["maps"]),
    (["plotr", "-margin", ""], []),
    (["plotr", "-bbox", ""], []),
    (["plotr", "-width", ""], []),
    (["plotr", "-color", "gr"], ["gray", "green"]),
    (["plotr", "-attribution", ""], []),
    (["plotr", "-url", "-"], []),
    (["plotr", "ride.gpx"], []),
]
script = f'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _plotr; ' \
         f'printf "%s\\n" "${{COMPREPLY[@]}}"'
for words, expected in CASES:
    name = "completion of " + " ".join(repr(w) for w in words)
    r = subprocess.run(["bash", "--norc", "-c", script, "bash", COMPLETION, *words],
                       capture_output=True, text=True, cwd=scratch)
    offered = sorted(line for line in r.stdout.split("\n") if line)
    suite.check(name, [None if r.returncode == 0 and offered == expected
                       else f"offered {offered}, expected {expected} {r.stderr}"])
suite.finish()
