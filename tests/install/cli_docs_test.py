#!/usr/bin/python3
"""The manual page and the bash, zsh and fish completions name exactly the
options that tempix-cli --help lists, and the bash completion works.

usage: cli_docs_test.py TEMPIX_CLI SOURCE
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

cli, source = sys.argv[1:3]
failures = []

OPTION = r"--?[a-z][a-z0-9-]*"

help_text = subprocess.run([cli, "--help"], capture_output=True, text=True).stdout
options = set()
for line in help_text.splitlines():
    if line.startswith("  -"):  # an option's own line, not its description
        head = line.split()[0]
        options.update(re.findall(r"(?:^|,)(" + OPTION + ")", re.sub(r"\{[^}]*\}", "", head)))
if len(options) < 20 or "--library" not in options:
    sys.exit("could not read the options from tempix-cli --help:\n" + help_text)


def read(path):
    with open(os.path.join(source, path), encoding="utf-8") as f:
        return f.read()


documented = {
    "docs/man/tempix-cli.1.scd": set(re.findall(r"\*(" + OPTION + r")\*", read("docs/man/tempix-cli.1.scd"))),
    "docs/completions/tempix-cli.bash": set(re.findall(r"(?<![\w-])(" + OPTION + ")", read(
        "docs/completions/tempix-cli.bash").split("local options=")[1].split('"')[1])),
    "docs/completions/_tempix-cli": set(re.findall(r"(?<![\w-])(--[a-z][a-z0-9-]*|-[a-z])(?==?-?[\[},])",
                                                   read("docs/completions/_tempix-cli"))),
    "docs/completions/tempix-cli.fish": {("--" if kind == "l" else "-") + name for kind, name in re.findall(
        r"-([ls]) ([a-z][a-z0-9-]*)", read("docs/completions/tempix-cli.fish"))},
}
for path, names in documented.items():
    if options - names:
        failures.append("%s lacks %s" % (path, " ".join(sorted(options - names))))
    if names - options:
        failures.append("%s names options tempix-cli does not have: %s" % (path, " ".join(sorted(names - options))))


def complete(words):
    """What the bash completion offers for the command line words (the last one being completed)."""
    script = ("source %s\nCOMP_WORDS=(%s)\nCOMP_CWORD=%d\n_tempix_cli\nprintf '%%s\\n' \"${COMPREPLY[@]}\"\n" %
              (os.path.join(source, "docs/completions/tempix-cli.bash"),
               " ".join("'%s'" % w for w in words), len(words) - 1))
    r = subprocess.run(["bash", "-c", script], capture_output=True, text=True)
    if r.returncode != 0:
        failures.append("bash completion failed: " + r.stderr)
    return [line for line in r.stdout.splitlines() if line]


with tempfile.TemporaryDirectory() as tmp:
    open(os.path.join(tmp, "-lead.mp3"), "w").close()
    open(os.path.join(tmp, "library.xml"), "w").close()
    for words, offered, what in [
            (["--only"], ["--only-genres"], "--only completes to --only-genres"),
            (["--no-"], ["--no-detect-bpm", "--no-export"], "--no- offers the two negations"),
            (["--library-file", tmp + "/lib"], [tmp + "/library.xml"], "--library-file completes a file name"),
            (["--", tmp + "/-"], [tmp + "/-lead.mp3"], "after -- a word is completed as a path"),
            (["--playlist", "--"], [], "a playlist name is not completed with options")]:
        if sorted(complete(["tempix-cli"] + words)) != offered:
            failures.append("bash: not so: " + what)

# zsh and fish read their files; fish also completes with its own.
if shutil.which("zsh"):
    r = subprocess.run(["zsh", "-n", os.path.join(source, "docs/completions/_tempix-cli")], capture_output=True,
                       text=True)
    if r.returncode != 0:
        failures.append("zsh cannot read _tempix-cli: " + r.stderr)
if shutil.which("fish"):
    fish = os.path.join(source, "docs/completions/tempix-cli.fish")
    r = subprocess.run(["fish", "--no-config", "-c", "source %s; complete -C'tempix-cli --no-'" % fish],
                       capture_output=True, text=True)
    offered = sorted(line.split("\t")[0] for line in r.stdout.splitlines())
    if r.returncode != 0 or offered != ["--no-detect-bpm", "--no-export"]:
        failures.append("fish: --no- does not offer the two negations: %r %s" % (offered, r.stderr))

for f in failures:
    print("FAILED:", f)
sys.exit(1 if failures else 0)
