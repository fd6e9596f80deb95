#!/usr/bin/env python3
"""Mutation testing of the driver's sources.

Puts one small fault at a time into a private copy of the driver's .cpp
files, rebuilds, runs the whole suite and records whether some test failed
(killed), every test passed (survived) or the mutant did not build.

Faults made:
  cmp     a comparison turned round (== to !=, < to >=, > to <=, ...)
  const   an integer literal one higher or one lower
  drop    an expression statement removed
  negate  the condition of an if or while negated
  bool    true and false swapped

Run from the project's root:
  tools/scripts/mutate.py --sample 120 --seed 11
  tools/scripts/mutate.py --list                 # every site, no builds
  tools/scripts/mutate.py --only ata/error_recovery.cpp --sample 10

Each mutant has a stable identifier (file, operator, a hash of the source
line and which occurrence on it), so that a mutant judged equivalent (one
that cannot change behaviour) can be named in tools/scripts/
mutation_equivalents.txt and is then counted apart in the score.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

DRIVER_DIRS = ("miniport", "scsi", "ata", "link", "adapter", "hostport")
EQUIVALENTS = "tools/scripts/mutation_equivalents.txt"

CMP_SWAP = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
CMP_RE = re.compile(r"(?<=\s)(==|!=|<=|>=|<|>)(?=\s)")
INT_RE = re.compile(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uU]?[lL]{0,2})(?![\w.])")
BOOL_RE = re.compile(r"\b(true|false|TRUE|FALSE)\b")
BOOL_SWAP = {"true": "false", "false": "true", "TRUE": "FALSE", "FALSE": "TRUE"}
COND_RE = re.compile(r"\b(if|while)\s*\(")
# A statement worth dropping: a call, an assignment or an increment, alone
# on its line and complete there.
DROP_RE = re.compile(
    r"^\s*(?:[A-Za-z_][\w.\->\[\]]*\s*(?:\(|[-+*/|&^]?=(?!=)|<<=|>>=)|\+\+|--)"
)
DECL_START = re.compile(
    r"^\s*(?:(?:static|const|uint\d+_t|int\d+_t|bool|int|unsigned|char|void|struct|"
    r"return|break|continue|goto|case|default|typedef|extern|if|else|for|while|do|switch)\b|#)"
)


class Mutant:
    def __init__(self, path, lineno, op, occurrence, original, mutated, twin=0):
        self.path = path
        self.lineno = lineno
        self.op = op
        self.occurrence = occurrence
        self.original = original
        self.mutated = mutated
        digest = hashlib.sha1(original.strip().encode()).hexdigest()[:10]
        # twin: how many lines above in the same file read the same.
        self.ident = f"{path}:{op}:{digest}:{occurrence}" + (f":{twin}" if twin else "")

    def describe(self):
        return f"{self.path}:{self.lineno} [{self.op}] {self.original.strip()}  =>  {self.mutated.strip()}"


def strip_comments_and_strings(text):
    """Blanks comments and string/char literals, keeping every offset."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            for k in range(i, j):
                out[k] = " "
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            for k in range(i, j):
                if out[k] != "\n":
                    out[k] = " "
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            for k in range(i + 1, min(j, n)):
                out[k] = " "
            i = j + 1
        else:
            i += 1
    return "".join(out)


def matching_paren(line, open_at):
    depth = 0
    for k in range(open_at, len(line)):
        if line[k] == "(":
            depth += 1
        elif line[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def sites_in_file(root, path):
    with open(os.path.join(root, path)) as f:
        text = f.read()
    raw_lines = text.split("\n")
    code_lines = strip_comments_and_strings(text).split("\n")
    mutants = []
    seen = {}
    for index, (raw, code) in enumerate(zip(raw_lines, code_lines)):
        lineno = index + 1
        stripped = code.strip()
        twin = seen.get(raw.strip(), 0)
        seen[raw.strip()] = twin + 1
        if not stripped or stripped.startswith("#include") or "static_assert" in code:
            continue
        if stripped.startswith("#") and not stripped.startswith("#define"):
            continue

        def add(op, occurrence, start, end, replacement):
            mutated = raw[:start] + replacement + raw[end:]
            mutants.append(Mutant(path, lineno, op, occurrence, raw, mutated, twin))

        for k, m in enumerate(CMP_RE.finditer(code)):
            add("cmp", k, m.start(1), m.end(1), CMP_SWAP[m.group(1)])
        for k, m in enumerate(INT_RE.finditer(code)):
            literal, suffix = m.group(1), m.group(2)
            value = int(literal, 0)
            if stripped.startswith("#define") and k == 0 and re.match(r"#define\s+\w+\(", stripped):
                continue
            # The direction is fixed by the line's text, so that a run repeats
            # itself and lines moving elsewhere in the file do not change it.
            parity = hashlib.sha1(f"{raw.strip()}:{k}".encode()).digest()[0] & 1
            delta = -1 if value > 0 and parity else 1
            new = value + delta
            text_new = hex(new).upper().replace("0X", "0x") if literal.lower().startswith("0x") else str(new)
            add("const", k, m.start(1), m.end(2), text_new + suffix)
        for k, m in enumerate(BOOL_RE.finditer(code)):
            add("bool", k, m.start(1), m.end(1), BOOL_SWAP[m.group(1)])
        for k, m in enumerate(COND_RE.finditer(code)):
            open_at = m.end() - 1
            close_at = matching_paren(code, open_at)
            if close_at < 0:
                continue
            inner = raw[open_at + 1:close_at]
            add("negate", k, open_at + 1, close_at, "!(" + inner + ")")
        if (
            stripped.endswith(";")
            and code.count("(") == code.count(")")
            and DROP_RE.match(code)
            and not DECL_START.match(code)
            and "{" not in code
            and "}" not in code
        ):
            indent = raw[: len(raw) - len(raw.lstrip())]
            mutants.append(Mutant(path, lineno, "drop", 0, raw, indent + ";", twin))
    return mutants


def all_sites(root, only):
    files = []
    for d in DRIVER_DIRS:
        for name in sorted(os.listdir(os.path.join(root, d))):
            if name.endswith(".cpp"):
                files.append(f"{d}/{name}")
    if only:
        files = [f for f in files if f in only]
    sites = []
    for path in files:
        sites.extend(sites_in_file(root, path))
    return sites


def load_equivalents(root):
    path = os.path.join(root, EQUIVALENTS)
    judged = {}
    if not os.path.exists(path):
        return judged
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            ident, _, why = line.partition(" ")
            judged[ident] = why.strip()
    return judged


def run(cmd, cwd, timeout=None, env=None):
    return subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout, env=env)


def private_copy(root, workdir):
    src = os.path.join(workdir, "src")
    if os.path.exists(src):
        shutil.rmtree(src)
    files = run(["git", "ls-files", "-z"], root).stdout.split("\0")
    for rel in filter(None, files):
        target = os.path.join(src, rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(root, rel), target)
    return src


def build(src, build_dir, jobs):
    launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []
    r = run(["cmake", "-S", src, "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", *launcher], src)
    if r.returncode != 0:
        return False, r.stdout
    r = run(["cmake", "--build", build_dir, "-j", str(jobs)], src)
    return r.returncode == 0, r.stdout


def suite(build_dir, jobs, timeout):
    # A test that hangs is stopped by ctest's timeout and counts as a failure.
    # The wire digests go first: they take seconds and catch most changes to
    # what the driver sends.
    quick = ["ctest", "-j", str(jobs), "--stop-on-failure", "--timeout", str(timeout)]
    r = run(quick + ["-R", "^Scenarios/WireDigest"], build_dir)
    if r.returncode == 0:
        r = run(quick + ["-E", "^Scenarios/WireDigest"], build_dir)
    failed = re.findall(r"\d+ - (\S+) \((?:Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)", r.stdout)
    return r.returncode == 0, failed


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sample", type=int, default=0, help="mutants to try, drawn at random (0: all)")
    p.add_argument("--seed", type=int, default=11, help="seed of the draw")
    p.add_argument("--only", nargs="*", help="driver files to mutate (default: all)")
    p.add_argument("--ids", help="a file of mutant identifiers to try (one per line), in place of a draw")
    p.add_argument("--list", action="store_true", help="print the drawn mutants and stop")
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    p.add_argument("--timeout", type=int, default=120, help="seconds a single test may take")
    p.add_argument("--workdir", help="where the private copy and its build live")
    p.add_argument("--json", help="also write the results here")
    args = p.parse_args()

    root = os.getcwd()
    if not all(os.path.isdir(os.path.join(root, d)) for d in DRIVER_DIRS):
        sys.exit("run mutate.py from the project's root")
    sites = all_sites(root, args.only)
    drawn = sites
    if args.sample and args.sample < len(sites):
        # Each site's place in the draw depends only on the seed and the site
        # itself, so that a change elsewhere in the sources leaves the rest of
        # a sample as it was.
        def rank(m):
            return hashlib.sha1(f"{args.seed}:{m.ident}".encode()).hexdigest()
        drawn = sorted(sorted(sites, key=rank)[: args.sample], key=lambda m: (m.path, m.lineno))
    if args.ids:
        with open(args.ids) as f:
            wanted = {line.split()[0] for line in f if line.strip() and not line.startswith("#")}
        drawn = [m for m in sites if m.ident in wanted]
    print(f"{len(sites)} mutation sites, {len(drawn)} drawn (seed {args.seed})", flush=True)
    if args.list:
        for m in drawn:
            print(f"{m.ident}  {m.describe()}")
        return 0

    equivalents = load_equivalents(root)
    workdir = args.workdir or tempfile.mkdtemp(prefix="nimb-mutate-")
    src = private_copy(root, workdir)
    build_dir = os.path.join(workdir, "build")
    ok, log = build(src, build_dir, args.jobs)
    if not ok:
        print(log[-4000:])
        sys.exit("the unmutated tree does not build")
    passed, failed = suite(build_dir, args.jobs, args.timeout)
    if not passed:
        sys.exit(f"the unmutated tree fails its own suite: {failed}")

    results = []
    started = time.time()
    for number, m in enumerate(drawn, 1):
        path = os.path.join(src, m.path)
        with open(path) as f:
            original_text = f.read()
        lines = original_text.split("\n")
        lines[m.lineno - 1] = m.mutated
        with open(path, "w") as f:
            f.write("\n".join(lines))
        try:
            built, _ = build(src, build_dir, args.jobs)
            if not built:
                outcome, failed = "uncompilable", []
            else:
                passed, failed = suite(build_dir, args.jobs, args.timeout)
                outcome = "survived" if passed else "killed"
        finally:
            with open(path, "w") as f:
                f.write(original_text)
        if outcome == "survived" and m.ident in equivalents:
            outcome = "equivalent"
        results.append({"id": m.ident, "where": m.describe(), "outcome": outcome, "caught_by": failed[:3]})
        print(f"[{number}/{len(drawn)}] {outcome:12} {m.describe()}", flush=True)

    count = {k: sum(1 for r in results if r["outcome"] == k)
             for k in ("killed", "survived", "equivalent", "uncompilable")}
    built = count["killed"] + count["survived"] + count["equivalent"]
    judged = count["killed"] + count["survived"]
    print()
    print(f"mutants: {len(results)}, killed {count['killed']}, survived {count['survived']}, "
          f"equivalent {count['equivalent']}, did not build {count['uncompilable']}, "
          f"{time.time() - started:.0f} s")
    if built:
        print(f"raw score (killed / built): {100.0 * count['killed'] / built:.1f}%")
    if judged:
        print(f"score without the equivalent ones: {100.0 * count['killed'] / judged:.1f}%")
    for r in results:
        if r["outcome"] in ("survived", "equivalent"):
            note = f"  ({equivalents[r['id']]})" if r["outcome"] == "equivalent" else ""
            print(f"  {r['outcome']}: {r['id']}\n      {r['where']}{note}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    if not args.workdir:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
