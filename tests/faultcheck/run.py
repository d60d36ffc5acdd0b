#!/usr/bin/env python3
"""Breaks the code on purpose, one fault of faults.txt at a time, and records
which tests catch it. Not part of the suite: run by hand on a built tree.

    tests/faultcheck/run.py [--build DIR] [--out FILE] [F01 F02 ...]

Each fault is applied, the programs its tests run rebuilt, the tests run, and
the file put back, also when interrupted. A fault no test catches is listed as
such."""
import argparse, json, os, re, subprocess, sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def faults(path):
    blocks = re.split(r'^## ', open(path).read(), flags=re.M)[1:]
    for block in blocks:
        lines = block.rstrip('\n').split('\n')
        fid, _, what = lines[0].partition(' ')
        fields = dict(l.split(': ', 1) for l in lines[1:] if re.match(r'^(file|tests): ', l))
        old = '\n'.join(l[1:] for l in lines if l.startswith('-')) + '\n'
        new = '\n'.join(l[1:] for l in lines if l.startswith('+')) + '\n'
        yield fid, what, fields['file'], fields['tests'], old, new


def targets(build, regex):
    """The programs the tests of regex run, by target name: only these are rebuilt."""
    out = subprocess.run(['ctest', '--test-dir', build, '-R', regex, '--show-only=json-v1'],
                         capture_output=True, text=True).stdout
    names = set()
    for test in json.loads(out).get('tests', []):
        for word in test.get('command', []):
            if word.startswith(build) and os.path.isfile(word) and os.access(word, os.X_OK):
                names.add(os.path.basename(word))
    return sorted(names)


def failing(build, regex):
    env = dict(os.environ, QT_QPA_PLATFORM='offscreen')
    out = subprocess.run(['ctest', '--test-dir', build, '-j2', '-R', regex, '--timeout', '300'],
                         env=env, capture_output=True, text=True).stdout
    ran = re.search(r'tests passed, (\d+) tests failed out of (\d+)', out)
    names = re.findall(r'^\s*\d+ - (\S+) \(', out, flags=re.M)
    return (int(ran.group(2)) if ran else 0), sorted(n for n in names if n != 'make_test_material')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--build', default=os.path.join(ROOT, 'build'))
    ap.add_argument('--out')
    ap.add_argument('ids', nargs='*')
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)  # ctest names its programs by absolute path
    rows = []
    for fid, what, rel, regex, old, new in faults(os.path.join(ROOT, 'tests/faultcheck/faults.txt')):
        if args.ids and fid not in args.ids:
            continue
        path = os.path.join(ROOT, rel)
        text = open(path).read()
        if text.count(old) != 1:
            rows.append(f'{fid} | {what} | NOT APPLIED (the lines are not there once) |')
            continue
        try:
            open(path, 'w').write(text.replace(old, new))
            built = subprocess.run(['cmake', '--build', args.build, '-j2', '--target', *targets(args.build, regex)],
                                   capture_output=True).returncode == 0
            if not built:
                rows.append(f'{fid} | {what} | BUILD FAILED |')
                continue
            ran, names = failing(args.build, regex)
            caught = ', '.join(names) if names else 'NOT CAUGHT'
            rows.append(f'{fid} | {what} | {caught} | {len(names)} of {ran}')
        finally:
            open(path, 'w').write(text)
        print(rows[-1], flush=True)
    subprocess.run(['cmake', '--build', args.build, '-j2'], capture_output=True)
    table = 'fault | what | failing tests | of run\n--- | --- | --- | ---\n' + '\n'.join(rows) + '\n'
    if args.out:
        open(args.out, 'w').write(table)
    print(table)
    return 1 if any('NOT' in r or 'FAILED' in r for r in rows) else 0


if __name__ == '__main__':
    sys.exit(main())
