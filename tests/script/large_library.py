#!/usr/bin/python3
"""A large library in the desktop player's layout, with the odd bytes real ones
have (empty strings and dictionaries written with both tags, entity and
character references, text beyond ASCII, a track without keys), and plistlib's
view of it.

usage: large_library.py make TRACKS PATH   writes the library
       large_library.py dump PATH          one line per track, by ID:
                                           id|persistent ID|location|name|start|stop|bpm|volume
       large_library.py same OLD NEW       "same" when NEW differs from OLD only in the
                                           start, stop, BPM and volume of tracks, each
                                           on a line of its own; else what differs
"""
import plistlib, re, sys

CHANGEABLE = ("Start Time", "Stop Time", "BPM", "Volume Adjustment")


def make(count, path):
    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<!DOCTYPE plist PUBLIC "-//Apple Computer//DTD PLIST 1.0//EN" '
           '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">',
           '<plist version="1.0">', '<dict>',
           '\t<key>Major Version</key><integer>1</integer>',
           '\t<key>Date</key><date>2026-01-02T03:04:05Z</date>',
           '\t<key>Tracks</key>', '\t<dict>']
    ids = [2000 + 3 * i for i in range(count)]
    for i, tid in enumerate(ids):
        out += ['\t\t<key>%d</key>' % tid, '\t\t<dict>',
                '\t\t\t<key>Track ID</key><integer>%d</integer>' % tid,
                '\t\t\t<key>Name</key><string>Caf\u00e9 &#38; Song &lt;%d&gt;</string>' % i,
                '\t\t\t<key>Kind</key><string>MPEG audio file</string>',
                '\t\t\t<key>Total Time</key><integer>%d</integer>' % (200000 + i)]
        if i % 5 == 0:
            out += ['\t\t\t<key>Start Time</key><integer>%d</integer>' % (i + 1),
                    '\t\t\t<key>Stop Time</key><integer>%d</integer>' % (100000 + i)]
        if i % 2 == 0:
            out += ['\t\t\t<key>BPM</key><integer>%d</integer>' % (80 + i % 90)]
        out += ['\t\t\t<key>Date Added</key><date>2026-01-02T03:04:05Z</date>']
        if i % 3 == 0:
            out += ['\t\t\t<key>Volume Adjustment</key><integer>%d</integer>' % (i % 200 - 100)]
        if i % 7 == 0:
            out += ['\t\t\t<key>Comments</key><string></string>']
        if i % 11 == 0:
            out += ['\t\t\t<key>Extra</key><dict></dict>', '\t\t\t<key>More</key><array></array>']
        out += ['\t\t\t<key>Persistent ID</key><string>%016X</string>' % (0xABC00000 + tid),
                '\t\t\t<key>Track Type</key><string>File</string>',
                '\t\t\t<key>Location</key><string>file://localhost/music/A%%20&amp;%%20B/%d.mp3</string>' % tid,
                '\t\t</dict>']
    out += ['\t\t<key>1</key>', '\t\t<dict/>', '\t</dict>', '\t<key>Playlists</key>', '\t<array>',
            '\t\t<dict>', '\t\t\t<key>Name</key><string>Library</string>',
            '\t\t\t<key>Playlist Items</key>', '\t\t\t<array>']
    for tid in ids + [1]:
        out += ['\t\t\t\t<dict>', '\t\t\t\t\t<key>Track ID</key><integer>%d</integer>' % tid, '\t\t\t\t</dict>']
    out += ['\t\t\t</array>', '\t\t</dict>', '\t</array>', '</dict>', '</plist>']
    with open(path, 'w', encoding='utf-8') as f:
        f.write('\n'.join(out) + '\n')


def dump(path):
    d = plistlib.load(open(path, 'rb'))
    for key in sorted(d['Tracks'], key=int):
        t = d['Tracks'][key]
        fields = [key, t.get('Persistent ID', '-'), t.get('Location', '-'), t.get('Name', '-')]
        fields += [str(t.get(k, '-')) for k in CHANGEABLE]
        print('|'.join(fields))


def same(old, new):
    a = plistlib.load(open(old, 'rb'))
    b = plistlib.load(open(new, 'rb'))
    bad = [k for k in set(a) | set(b) if k != 'Tracks' and a.get(k) != b.get(k)]
    for tid in set(a['Tracks']) | set(b['Tracks']):
        x = a['Tracks'].get(tid, {})
        y = b['Tracks'].get(tid, {})
        kx = [k for k in x if k not in CHANGEABLE]
        ky = [k for k in y if k not in CHANGEABLE]
        if kx != ky or any(x[k] != y[k] for k in kx):
            bad.append(tid)
    # Without the lines of those values (and with the track that had no keys
    # as it was), both files are the same bytes.
    keys = '|'.join(CHANGEABLE)
    line = re.compile(r'^\t\t\t<key>(%s)</key><integer>-?\d+</integer>\n' % keys, re.M)
    keyless = re.compile(r'<dict>\n<key>(%s)</key><integer>-?\d+</integer></dict>' % keys)
    text_a = line.sub('', open(old, encoding='utf-8').read())
    text_b = line.sub('', keyless.sub('<dict/>', open(new, encoding='utf-8').read()))
    if text_a != text_b:
        at = next(i for i in range(min(len(text_a), len(text_b)) + 1) if text_a[i:i + 1] != text_b[i:i + 1])
        bad.append('bytes differ: %r / %r' % (text_a[at - 40:at + 40], text_b[at - 40:at + 40]))
    print('same' if not bad else bad[:10])


if __name__ == '__main__':
    if sys.argv[1] == 'make':
        make(int(sys.argv[2]), sys.argv[3])
    elif sys.argv[1] == 'dump':
        dump(sys.argv[2])
    else:
        same(sys.argv[2], sys.argv[3])
