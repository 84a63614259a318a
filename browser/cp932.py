#!/usr/bin/env python3
# browser/cp932.py SOURCE OUT: copies a C++ source with every character outside ASCII inside
# its string literals written as the octal escapes of its code page 932 bytes, for a
# compiler (clang, for WebAssembly) that keeps literals in UTF-8. Octal escapes end after
# three digits, so the characters that follow stay as they are; a trail byte 0x5C becomes
# \134 and so is never taken for a backslash.
import sys

source, out = sys.argv[1], sys.argv[2]
text = open(source, encoding="utf-8").read()
result = []
in_string = False
i = 0
while i < len(text):
    c = text[i]
    if in_string:
        if c == "\\":
            result.append(text[i:i + 2])
            i += 2
            continue
        if c == '"':
            in_string = False
        if ord(c) > 127:
            result.append("".join("\\%03o" % b for b in c.encode("cp932")))
        else:
            result.append(c)
    else:
        if c == '"' and not text.startswith("'\"'", i - 1):
            in_string = True
        elif text.startswith("//", i):
            end = text.find("\n", i)
            end = len(text) if end < 0 else end
            result.append(text[i:end])
            i = end
            continue
        result.append(c)
    i += 1
open(out, "w", encoding="utf-8").write("".join(result))
