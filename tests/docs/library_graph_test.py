#!/usr/bin/env python3
"""Checks the libraries' dependencies against the README's Layout table.

  library_graph_test.py SOURCE_DIR WORK_DIR CMAKE

Configures SOURCE_DIR afresh in WORK_DIR with `cmake --graphviz` (tests and benchmarks off) and
fails when the link graph has a cycle, when a library links a library the table does not allow,
when a source file includes a header of a library the table does not allow, when a library of
the graph is missing from the table, or when platform/README.md's paragraphs name other
libraries of platform/ or other uses than the table. A library may use the libraries in its "may use" column and,
through them, whatever those may use.
"""
import graphlib
import os
import re
import subprocess
import sys


def layout_table(readme):
    """{folder: library} and {library: set of libraries it names in "may use"}."""
    section = readme.split("\n## Layout\n", 1)[1].split("\n## ", 1)[0]
    folders, may_use = {}, {}
    for line in section.split("\n"):
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) != 4 or not cells[1].startswith("`cdr_"):
            continue
        folder, library = cells[0].strip("`").rstrip("/"), cells[1].strip("`")
        folders[folder] = library
        may_use.setdefault(library, set()).update(re.findall(r"`(cdr_\w+)`", cells[2]))
    return folders, may_use


def platform_readme_problems(text, folders, may_use):
    """Where platform/README.md's "**util/ (`cdr_util`, uses nothing).**" headings disagree with
    the table: each library of platform/ has one heading naming its library and the folders it
    may use."""
    problems = []
    headings = re.findall(r"^\*\*(\w+)/ \(`(cdr_\w+)`, uses ([^)]*)\)\.\*\*", text, re.M)
    described = set()
    for name, library, uses in headings:
        folder = "platform/" + name
        described.add(folder)
        if folders.get(folder) != library:
            problems.append("platform/README.md names %s/ %s; the table says %s"
                            % (name, library, folders.get(folder, "nothing")))
            continue
        named = {folders.get("platform/" + used.strip()) for used in uses.split(",")
                 if used.strip() != "nothing"}
        if named != may_use.get(library, set()):
            problems.append("platform/README.md says %s uses %s; the table says %s"
                            % (library, uses, ", ".join(sorted(may_use.get(library, ()))) or
                               "nothing"))
    for folder in sorted(set(folders) - described):
        if folder.startswith("platform/"):
            problems.append("platform/README.md has no paragraph on %s/" % folder)
    return problems


def closure(may_use):
    """{library: every library it may reach}; `may_use` must have no cycle."""
    reach = {}

    def visit(library):
        if library not in reach:
            reach[library] = set()
            for used in may_use.get(library, ()):
                reach[library] |= {used} | visit(used)
        return reach[library]

    for library in may_use:
        visit(library)
    return reach


def read(*parts):
    with open(os.path.join(*parts), encoding="utf-8") as handle:
        return handle.read()


def link_graph(source, work, cmake):
    """{target: set of targets it links}, from `cmake --graphviz`."""
    dot = os.path.join(work, "libraries.dot")
    subprocess.run([cmake, "-S", source, "-B", os.path.join(work, "tree"), "-DCDR_TESTS=OFF",
                    "-DCDR_BENCH=OFF", "-DCDR_FUZZ=OFF", "--graphviz=" + dot],
                   check=True, stdout=subprocess.DEVNULL)
    text = read(dot)
    names = dict(re.findall(r'"(node\d+)" \[ label = "([^"]+)"', text))
    graph = {name: set() for name in names.values()}
    for start, end in re.findall(r'"(node\d+)" -> "(node\d+)"', text):
        graph[names[start]].add(names[end])
    return graph


def cycle(graph):
    """One cycle of `graph` as a list of targets, or None."""
    try:
        graphlib.TopologicalSorter(graph).prepare()
    except graphlib.CycleError as error:
        return list(reversed(error.args[1]))
    return None


def include_problems(source, folders, reach):
    """Each #include of a header in another library's folder that the table does not allow."""
    problems = []
    for folder, library in folders.items():
        directory = os.path.join(source, folder)
        for name in sorted(os.listdir(directory)):
            if not name.endswith((".cpp", ".h")):
                continue
            for header in re.findall(r'^#include "([^"]+)"', read(directory, name), re.M):
                used = folders.get(os.path.dirname(header))
                if used and used != library and used not in reach[library]:
                    problems.append("%s/%s includes %s (%s), which %s may not use"
                                    % (folder, name, header, used, library))
    return problems


def main():
    source, work, cmake = sys.argv[1], sys.argv[2], sys.argv[3]
    folders, may_use = layout_table(read(source, "README.md"))
    found = cycle(may_use)
    if found:
        print("the table's \"may use\" column has a cycle: " + " -> ".join(found))
        return 1
    reach = closure(may_use)
    graph = link_graph(source, work, cmake)
    problems = []
    found = cycle(graph)
    if found:
        problems.append("the link graph has a cycle: " + " -> ".join(found))
    for library in sorted(graph):
        if not library.startswith("cdr_"):
            continue
        if library not in may_use:
            problems.append("library %s is not in the README's Layout table" % library)
            continue
        for used in sorted(graph[library]):
            if used.startswith("cdr_") and used not in reach[library]:
                problems.append("%s links %s, which the README's Layout table does not allow"
                                % (library, used))
    for library in sorted(set(may_use) - set(graph)):
        problems.append("the README's Layout table names %s, which is not built" % library)
    problems += include_problems(source, folders, reach)
    problems += platform_readme_problems(read(source, "platform", "README.md"), folders, may_use)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
