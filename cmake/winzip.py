#!/usr/bin/env python3
"""cmake/winzip.py: makes the Windows release zip, the same bytes for the same files.

    winzip.py OUT.zip [--file SRC=NAME] [--text SRC=NAME] [--folder SRC=NAME] ...

--file stores SRC as NAME; --text stores the text file SRC as NAME with CRLF line ends;
--folder stores every file under the folder SRC under NAME/. Entries are sorted by name
and carry one fixed time and no owner, so the zip depends on the files' bytes alone.
"""
import argparse
import os
import sys
import zipfile

# The time every entry carries (the zip's local time field; no time zone is stored).
FIXED_TIME = (2026, 1, 1, 0, 0, 0)


def pair(text):
    source, sep, name = text.partition("=")
    if not sep or not source or not name:
        raise argparse.ArgumentTypeError("%r is not SRC=NAME" % text)
    return source, name


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out")
    parser.add_argument("--file", type=pair, action="append", default=[])
    parser.add_argument("--text", type=pair, action="append", default=[])
    parser.add_argument("--folder", type=pair, action="append", default=[])
    args = parser.parse_args()

    entries = {}  # name in the zip -> bytes

    def add(name, data):
        if name in entries:
            sys.exit("winzip: %s is given twice" % name)
        entries[name] = data

    for source, name in args.file:
        with open(source, "rb") as f:
            add(name, f.read())
    for source, name in args.text:
        with open(source, "rb") as f:
            add(name, f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"))
    for source, name in args.folder:
        if not os.path.isdir(source):
            sys.exit("winzip: %s is not a folder" % source)
        for root, folders, files in os.walk(source):
            folders.sort()
            for file in files:
                path = os.path.join(root, file)
                inside = os.path.relpath(path, source).replace(os.sep, "/")
                with open(path, "rb") as f:
                    add(name + "/" + inside, f.read())

    partial = args.out + ".partial"
    with zipfile.ZipFile(partial, "w") as z:
        for name in sorted(entries):
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # MS-DOS attributes: a plain file, for Windows
            info.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE
            z.writestr(info, entries[name], compresslevel=9)
    os.replace(partial, args.out)


if __name__ == "__main__":
    main()
