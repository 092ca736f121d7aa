#!/usr/bin/env python3
"""Checks that the manual page's SYNOPSIS shows the command list of `cdrctl --help` (its first
paragraph) line for line, plus "cdrctl --help", and that README.md and docs/*.md point to
`cdrctl --help` rather than keep a copy of the usage that would go stale.

  cdrctl_usage_test.py SOURCE_DIR CDRCTL_1 GROFF CDRCTL [ARGS...]
"""
import glob
import os
import re
import subprocess
import sys


def command_list(cdrctl):
    """The first paragraph of `cdrctl --help`, as lines."""
    usage = subprocess.run(cdrctl + ["--help"], check=True, capture_output=True, text=True).stdout
    return usage.split("\n\n")[0].split("\n")


def synopses(lines):
    """Each command line's form: the text before its description, 'usage: ' removed."""
    forms = []
    for line in lines:
        form = re.split(r"\s{2,}", line.strip())[0]
        if line.startswith("usage: "):
            forms.append(form[len("usage: "):])
        elif re.match(r"  \S", line):
            forms.append("cdrctl " + form)
    return forms


def usage_copies(source):
    """The Markdown documents under SOURCE that quote the usage's first line."""
    paths = [os.path.join(source, "README.md")] + sorted(glob.glob(source + "/docs/*.md"))
    return [os.path.relpath(path, source) for path in paths
            if re.search(r"^\s*usage: cdrctl", open(path, encoding="utf-8").read(), re.M)]


def man_synopsis(groff, page):
    """The SYNOPSIS lines of the rendered manual page, blanks collapsed."""
    text = subprocess.run([groff, "-man", "-Tascii", "-P-c", "-rLL=250n", page], check=True,
                          capture_output=True, text=True).stdout
    text = re.sub(".\b", "", text)
    section = text.split("\nSYNOPSIS\n", 1)[1].split("\n\n", 1)[0]
    return [" ".join(line.split()) for line in section.split("\n") if line.strip()]


def main():
    source, page, groff, cdrctl = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    usage = command_list(cdrctl)
    problems = ["%s copies the usage; point to `cdrctl --help` instead" % path
                for path in usage_copies(source)]
    expected = [" ".join(form.split()) for form in synopses(usage)] + ["cdrctl --help"]
    rendered = man_synopsis(groff, page)
    for line in sorted(set(expected) - set(rendered)):
        problems.append("%s: SYNOPSIS lacks: %s" % (page, line))
    for line in sorted(set(rendered) - set(expected)):
        problems.append("%s: SYNOPSIS line not in `cdrctl --help`: %s" % (page, line))
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
