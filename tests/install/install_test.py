#!/usr/bin/python3
"""Installs the build into a fresh prefix (stripped) and runs a library update
through the installed tempix-cli, so that its helper must be found under the
configured libexec folder of that prefix, not in the build tree.

usage: install_test.py BUILD LIBEXECDIR MATERIAL SOURCE
"""
import os
import plistlib
import shutil
import subprocess
import sys
import tempfile

import mutagen.id3

build, libexecdir, material, source = sys.argv[1:5]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


with tempfile.TemporaryDirectory(prefix="tempix-install-") as tmp:
    prefix = os.path.join(tmp, "prefix")
    subprocess.run(["cmake", "--install", build, "--prefix", prefix, "--strip"], check=True,
                   stdout=subprocess.DEVNULL)

    for program in ("bin/tempix-cli", os.path.join(libexecdir, "tempix/osatender"),
                    os.path.join(libexecdir, "tempix/osascript")):
        path = os.path.join(prefix, program)
        check(os.access(path, os.X_OK), program + " is installed")
        if os.path.exists(path):
            sections = subprocess.run(["readelf", "-S", "-W", path], capture_output=True, text=True, check=True)
            check(" .symtab " not in sections.stdout, program + " is stripped")
    if os.path.normpath(libexecdir) != "libexec":
        check(not os.path.exists(os.path.join(prefix, "libexec")), "nothing goes to the default libexec folder")
    desktop = os.path.exists(os.path.join(prefix, "bin/tempix"))
    for f in ["share/man/man1/tempix-cli.1.gz", "share/bash-completion/completions/tempix-cli",
              "share/zsh/vendor-completions/_tempix-cli", "share/fish/vendor_completions.d/tempix-cli.fish"] + [
              "share/man/man1/tempix.1.gz", "share/applications/com.quillfen.tempix.desktop",
              "share/metainfo/com.quillfen.tempix.metainfo.xml",
              "share/icons/hicolor/scalable/apps/com.quillfen.tempix.svg"] * desktop:
        check(os.path.isfile(os.path.join(prefix, f)), f + " is installed")
    if desktop and shutil.which("appstreamcli"):
        r = subprocess.run(["appstreamcli", "validate-tree", "--no-net", prefix], capture_output=True, text=True)
        check(r.returncode == 0, "appstreamcli validate-tree: " + r.stdout + r.stderr)

    # A demo track and a library file that lists it.
    home = os.path.join(tmp, "home")
    music = os.path.join(home, "Music", "Demo")
    os.makedirs(music)
    track = os.path.join(music, "Night Drive.mp3")
    shutil.copyfile(os.path.join(material, "beat128_stereo44_lame.mp3"), track)
    library = os.path.join(tmp, "library.xml")
    subprocess.run([sys.executable, os.path.join(source, "scripts/make_demo_library.py"), music, library], check=True)

    env = {"HOME": home, "PATH": "/usr/bin:/bin", "XDG_CONFIG_HOME": os.path.join(home, ".config"),
           "XDG_STATE_HOME": os.path.join(home, ".local/state"), "LC_ALL": "C.UTF-8"}
    # Run from elsewhere, so that nothing is found relative to the build tree.
    r = subprocess.run([os.path.join(prefix, "bin/tempix-cli"), "--library-file", library, "--library",
                        "--optimize-times", "--adjust-volume"],
                       cwd=tmp, env=env, capture_output=True, text=True, timeout=240)
    print(r.stdout, r.stderr)
    check(r.returncode == 0, "the installed tempix-cli ends with 0 (got %d)" % r.returncode)
    check("iTunes updated." in r.stdout, "the library update through the installed helper is logged")

    with open(library, "rb") as f:
        entries = list(plistlib.load(f)["Tracks"].values())
    check(len(entries) == 1, "the library still lists the one track")
    entry = entries[0] if entries else {}
    check(entry.get("BPM") == 128, "the library entry holds BPM 128 (got %r)" % entry.get("BPM"))
    check(entry.get("Start Time", 0) > 0 and entry.get("Stop Time", 0) > entry.get("Start Time", 0),
          "the library entry holds start and stop times (got %r, %r)" % (entry.get("Start Time"),
                                                                          entry.get("Stop Time")))
    tags = mutagen.id3.ID3(track)
    check(str(tags.get("TBPM")) == "128", "the track's tag holds BPM 128 (got %r)" % tags.get("TBPM"))

if failures:
    sys.exit("%d check(s) failed" % len(failures))
print("installed into a prefix with", libexecdir, "and updated the library through it")
