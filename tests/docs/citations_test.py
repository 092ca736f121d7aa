#!/usr/bin/env python3
"""Checks that what the documentation cites exists.

  citations_test.py SOURCE_DIR CDRCTL [ARGS...]

Reads README.md, CONTRIBUTING.md, docs/*.md, platform/README.md and the manual pages in
docs/man/, and fails on:
  - a GoogleTest name (Suite.Name) that no TEST in tests/ defines;
  - a CTest name (e2e.*, docs.*, man.*) that tests/CMakeLists.txt does not register;
  - a path into the source tree (core/..., tests/e2e/..., scripts/...) that does not exist, a
    source file named on its own (env.h) that no folder holds, or a Markdown link to a missing
    file;
  - a settings key (cdr_..., download_...) that no production source names;
  - a cdrctl option or command that `cdrctl --help` does not list;
  - a table of figures (a "measure" or "result" column) without a "reproduce with" line beside it.
"""
import fnmatch
import glob
import os
import re
import subprocess
import sys

SOURCE_FOLDERS = ("core", "store", "download", "guard", "platform", "tools")
TREE_FOLDERS = SOURCE_FOLDERS + ("tests", "bench", "fuzz", "scripts", "docs", "dist", "cmake")

TEST_NAME = re.compile(r"\b([A-Z]\w*Test)\.([A-Z]\w*)\b")
CTEST_NAME = re.compile(r"(?<![\w./-])((?:e2e|docs|man)\.\w(?:[\w.]*\w)?)")
TREE_PATH = re.compile(r"(?<![\w./<-])((?:%s)/[\w.*/-]*)" % "|".join(TREE_FOLDERS))
FILE_NAME = re.compile(r"(?<![\w./<*-])([\w-]+\.(?:cpp|h|sh|py))\b")
SETTINGS_KEY = re.compile(r"(?<![\w./-])((?:cdr|download)_[a-z0-9_]*[a-z0-9*])(?![\w.])")
CDRCTL_OPTION = re.compile(r"(?<![\w-])(--[a-z][\w-]*)")
CDRCTL_WORD = re.compile(r"\bcdrctl(?![\w.])")
MARKDOWN_LINK = re.compile(r"\]\(([^)#:\s]+)(?:#[^)]*)?\)")
CDRCTL_COMMAND = re.compile(r"^(?:\$ )?(?:\S*/)?cdrctl (?:--timeout \d+ )?([a-z][\w-]*)")


def read(path):
    with open(path, encoding="utf-8") as handle:
        return handle.read()


def relative_glob(source, pattern):
    return sorted(os.path.relpath(p, source) for p in glob.glob(os.path.join(source, pattern)))


def documents(source):
    """{path relative to SOURCE: its text, manual pages with their escapes removed}."""
    paths = ["README.md", "CONTRIBUTING.md", "platform/README.md"]
    paths += relative_glob(source, "docs/*.md")
    pages = relative_glob(source, "docs/man/*.[0-9]")
    present = [p for p in paths + pages if os.path.exists(os.path.join(source, p))]
    texts = {p: read(os.path.join(source, p)) for p in present}
    return {p: unescape_man(t) if p in pages else t for p, t in texts.items()}


def unescape_man(text):
    """The manual page's text with font changes and character escapes made plain."""
    text = re.sub(r"\\f(?:\[\w*\]|\(\w\w|\w)", "", text)
    text = text.replace("\\-", "-").replace("\\&", "").replace("\\e", "\\")
    return re.sub(r"\\\(\w\w", " ", text)


def known_names(source):
    """Everything a citation may name, gathered from the tree itself."""
    tests = set()
    for path in glob.glob(source + "/tests/**/*.cpp", recursive=True):
        tests |= {"%s.%s" % m
                  for m in re.findall(r"\bTEST(?:_F|_P)?\(\s*(\w+)\s*,\s*(\w+)", read(path))}
    cmake = read(os.path.join(source, "tests/CMakeLists.txt"))
    ctests = set(re.findall(r"add_test\(NAME ([\w.]+)", cmake))
    ctests |= {"e2e." + os.path.basename(p)[:-3] for p in glob.glob(source + "/tests/e2e/*_test.sh")}
    ctests |= {"man." + os.path.basename(p) for p in glob.glob(source + "/docs/man/*.[0-9]")}
    basenames = set()
    for root, dirs, names in os.walk(source):
        dirs[:] = [d for d in dirs if not d.startswith(".") and d != "build"]
        basenames |= set(names)
    words = set()
    for folder in SOURCE_FOLDERS:
        for root, _, names in os.walk(os.path.join(source, folder)):
            for name in (n for n in names if n.endswith((".cpp", ".h"))):
                words |= set(re.findall(r'"(\w+)', read(os.path.join(root, name))))
    for path in glob.glob(source + "/**/CMakeLists.txt", recursive=True):
        words |= set(re.findall(r"(?:add_library|add_executable|cdr_folder_library)\((\w+)",
                                read(path)))
    words |= {os.path.splitext(name)[0] for name in basenames}
    return tests, ctests, basenames, words


def cdrctl_vocabulary(cdrctl):
    """(options, commands) that `cdrctl --help` lists."""
    usage = subprocess.run(cdrctl + ["--help"], check=True, capture_output=True, text=True).stdout
    options = set(CDRCTL_OPTION.findall(usage)) | {"--help"}
    command_lines = usage.split("\n\n")[0].split("\n")[1:]
    commands = {w for line in command_lines for w in re.findall(r"^  ([a-z][\w-]*)", line)}
    commands |= {w for line in command_lines for w in re.findall(r"\| ([a-z][\w-]*)", line)}
    return options, commands


def tree_path_exists(source, path):
    path = path.rstrip(".,;:")
    if "*" in path:
        return bool(glob.glob(os.path.join(source, path)))
    full = os.path.join(source, path)
    return any(os.path.exists(full + ext) for ext in ("", ".cpp", ".h"))


def code_fragments(text):
    """Backticked spans and indented code lines: where commands are written as typed."""
    spans = re.findall(r"`([^`\n]+)`", text)
    spans += [line.strip() for line in text.split("\n") if line.startswith("    ")]
    return spans


def figure_tables_without_reproduction(text):
    """The first line of each table of figures that no "reproduce with" line accompanies."""
    lines = text.split("\n")
    missing = []
    for i, line in enumerate(lines):
        starts_table = line.startswith("| ") and (i == 0 or not lines[i - 1].startswith("|"))
        if not starts_table or not re.search(r"\b(measure|result)\b", line):
            continue
        end = i
        while end < len(lines) and lines[end].startswith("|"):
            end += 1
        nearby = lines[max(0, i - 12):i] + lines[end:end + 4]
        if not any(re.search(r"reproduce with", l, re.I) for l in nearby):
            missing.append(line)
    return missing


def problems_in(name, text, known, vocabulary, source):
    tests, ctests, basenames, words = known
    options, commands = vocabulary
    checks = (
        (TEST_NAME, lambda m: "%s.%s" % m in tests, "test %s.%s does not exist"),
        (CTEST_NAME, lambda m: m in ctests, "CTest %s is not registered"),
        (TREE_PATH, lambda m: tree_path_exists(source, m), "path %s does not exist"),
        (MARKDOWN_LINK, lambda m: os.path.exists(os.path.join(source, os.path.dirname(name), m)),
         "link %s leads nowhere"),
        (FILE_NAME, lambda m: m in basenames, "file %s does not exist"),
        (SETTINGS_KEY, lambda m: fnmatch.filter(words, m), "settings key %s is not read by the code"),
    )
    found = [message % match for pattern, cited, message in checks
             for match in pattern.findall(text) if not cited(match)]
    for line in text.split("\n"):
        mention = CDRCTL_WORD.search(line)
        whole_page = name.endswith("cdrctl.1")
        start = 0 if whole_page else (mention.end() if mention else len(line))
        for option in CDRCTL_OPTION.findall(line[start:]):
            if option not in options:
                found.append("cdrctl option %s is not in `cdrctl --help`" % option)
    for fragment in code_fragments(text):
        command = CDRCTL_COMMAND.match(fragment)
        if command and command.group(1) not in commands:
            found.append("cdrctl command %s is not in `cdrctl --help`" % command.group(1))
    for table in figure_tables_without_reproduction(text):
        found.append("table of figures without a \"reproduce with\" line: %s" % table[:60])
    return ["%s: %s" % (name, problem) for problem in sorted(set(found))]


def main():
    source, cdrctl = sys.argv[1], sys.argv[2:]
    known = known_names(source)
    vocabulary = cdrctl_vocabulary(cdrctl)
    problems = []
    for name, text in documents(source).items():
        problems += problems_in(name, text, known, vocabulary, source)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
