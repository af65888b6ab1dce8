#!/usr/bin/env python3
"""Checks the 32-bit deliverable's headers and resources with pefile.

    check_exe_resources.py EXE [VERSION]

A PE32 program for x86 and the Windows GUI subsystem, whose version
resource (numbers and strings), manifest and icon agree with each other,
and with VERSION ("1.2.3") when given. Exits 1 on the first disagreement.
"""
import re
import struct
import sys

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def fail(message):
    print("FAILED: " + message)
    sys.exit(1)


def resources(pe, kind):
    """The data of every resource of one type."""
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for entry in directory.entries if directory else []:
        if entry.id != kind:
            continue
        for name in entry.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                yield pe.get_data(data.OffsetToData, data.Size)


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    pe = pefile.PE(sys.argv[1])
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        fail("not an x86 program")
    if pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
        fail("not PE32")
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]:
        fail("not a Windows GUI program")

    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        fail("no version resource")
    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16,
               fixed.FileVersionLS & 0xFFFF)
    if (fixed.ProductVersionMS, fixed.ProductVersionLS) != (fixed.FileVersionMS, fixed.FileVersionLS):
        fail("the product and file version numbers differ")
    version = "%d.%d.%d" % numbers[:3]
    if len(sys.argv) == 3 and version != sys.argv[2]:
        fail("version %s, expected %s" % (version, sys.argv[2]))

    strings = {}
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    expected = {
        "FileVersion": version,
        "ProductVersion": version,
        "ProductName": "BrushPreset_Convertion",
        "OriginalFilename": "BrushPreset_Convertion.exe",
    }
    for key, value in expected.items():
        if strings.get(key) != value:
            fail("%s is %r, expected %r" % (key, strings.get(key), value))
    if not strings.get("FileDescription"):
        fail("no FileDescription")
    if not strings.get("LegalCopyright", "").startswith("Copyright"):
        fail("LegalCopyright is %r" % strings.get("LegalCopyright"))

    manifests = list(resources(pe, RT_MANIFEST))
    if len(manifests) != 1:
        fail("%d manifests" % len(manifests))
    manifest = manifests[0].decode("utf-8")
    for pattern in (r'<requestedExecutionLevel level="asInvoker"', r"<dpiAware\b[^>]*>true/pm</dpiAware>",
                    r"<dpiAwareness\b[^>]*>PerMonitorV2\b", r'name="Microsoft.Windows.Common-Controls"',
                    r'processorArchitecture="x86"', r'assemblyIdentity version="%s.0"' % re.escape(version)):
        if not re.search(pattern, manifest):
            fail("the manifest lacks %s" % pattern)

    groups = list(resources(pe, RT_GROUP_ICON))
    if not groups:
        fail("no icon")
    count = struct.unpack_from("<HHH", groups[0])[2]
    sizes = sorted(struct.unpack_from("<B", groups[0], 6 + 14 * i)[0] or 256 for i in range(count))
    if 16 not in sizes or 32 not in sizes:
        fail("icon sizes %s: 16 and 32 are needed" % sizes)
    if len(list(resources(pe, RT_ICON))) != count:
        fail("the icon group and its images disagree")

    print("PE32 x86 GUI program, version %s (%s), manifest asInvoker and DPI aware, icon of sizes %s" %
          (version, strings["FileDescription"], sizes))


if __name__ == "__main__":
    main()
