#!/usr/bin/env python3
"""tests/e2e/check_image.py: reads the built stub's PE header and manifest back from the image
and checks what they tell Windows: address-space layout randomisation, no-execute data,
terminal-server awareness and base relocations; a manifest that is well-formed XML and asks
for common controls 6, no elevation, the supported systems, per-monitor DPI awareness and
the system locale's code page.

    check_image.py PnRestore.exe

Prints "1 passed, 0 failed" or what is wrong, and exits non-zero on a failure.
"""
import struct
import sys
import xml.etree.ElementTree as ET

IMAGE_DLLCHARACTERISTICS = {0x0040: "DYNAMIC_BASE", 0x0100: "NX_COMPAT", 0x8000: "TERMINAL_SERVER_AWARE"}
RT_MANIFEST = 24
RESOURCE_DIRECTORY, RELOCATION_DIRECTORY = 2, 5

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SETTINGS_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
SETTINGS_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
SETTINGS_2019 = "http://schemas.microsoft.com/SMI/2019/WindowsSettings"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x10B:
            raise ValueError("not a PE32 image")
        self.dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            size, address, raw_size, raw_offset = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((address, max(size, raw_size), raw_offset))

    def offset(self, rva):
        for address, size, raw_offset in self.sections:
            if address <= rva < address + size:
                return raw_offset + rva - address
        raise ValueError("address %#x lies in no section" % rva)

    def resource(self, kind, ident):
        """The bytes of the first language of resource kind/ident."""
        base_rva = self.directories[RESOURCE_DIRECTORY][0]
        base = self.offset(base_rva)
        entry = base
        for wanted in (kind, ident, None):
            named, numbered = struct.unpack_from("<HH", self.data, entry + 12)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", self.data, entry + 16 + 8 * i)
                if wanted is None or (not name & 0x80000000 and name == wanted):
                    break
            else:
                raise ValueError("no resource %s/%s" % (kind, ident))
            if wanted is None:
                rva, size = struct.unpack_from("<II", self.data, base + target)
                start = self.offset(rva)
                return self.data[start:start + size]
            entry = base + (target & 0x7FFFFFFF)


def check(image):
    problems = []
    for flag, name in IMAGE_DLLCHARACTERISTICS.items():
        if not image.dll_characteristics & flag:
            problems.append("the PE header lacks %s" % name)
    if image.directories[RELOCATION_DIRECTORY][1] == 0:
        problems.append("the image has no base relocations")

    manifest = ET.fromstring(image.resource(RT_MANIFEST, 1))

    def find(path, namespaces):
        found = manifest.find(path, namespaces)
        if found is None:
            problems.append("the manifest has no %s" % path)
        return found

    controls = find("v1:dependency/v1:dependentAssembly/v1:assemblyIdentity", {"v1": ASM_V1})
    if controls is not None and (controls.get("name"), controls.get("version")) != (
            "Microsoft.Windows.Common-Controls", "6.0.0.0"):
        problems.append("the manifest's dependency is %s %s" % (controls.get("name"), controls.get("version")))
    level = find("v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel", {"v3": ASM_V3})
    if level is not None and (level.get("level"), level.get("uiAccess")) != ("asInvoker", "false"):
        problems.append("requestedExecutionLevel is %s, uiAccess %s" % (level.get("level"), level.get("uiAccess")))
    systems = {os.get("Id") for os in manifest.findall("c:compatibility/c:application/c:supportedOS",
                                                       {"c": COMPATIBILITY})}
    if systems != SUPPORTED_OS:
        problems.append("supportedOS lists %s" % sorted(systems))
    settings = "v3:application/v3:windowsSettings/"
    for path, namespace, value in (("s:dpiAware", SETTINGS_2005, "true"),
                                   ("s:dpiAwareness", SETTINGS_2016, "PerMonitorV2, system"),
                                   ("s:activeCodePage", SETTINGS_2019, "Legacy")):
        element = find(settings + path, {"v3": ASM_V3, "s": namespace})
        if element is not None and (element.text or "").strip() != value:
            problems.append("%s is %r" % (path, element.text))
    return problems


def main():
    with open(sys.argv[1], "rb") as f:
        image = Image(f.read())
    try:
        problems = check(image)
    except (ValueError, ET.ParseError) as error:
        problems = ["%s: %s" % (type(error).__name__, error)]
    for problem in problems:
        print("%s: %s" % (sys.argv[1], problem))
    print("%d passed, %d failed" % (0 if problems else 1, 1 if problems else 0))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
