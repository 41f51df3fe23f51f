#!/usr/bin/env python3
"""What built GPU modules need to load and what machine code they carry, read from their ELF files.

    scripts/check_modules.py MODULE... --cuda-major 12 [--archs 75,80,...]

For each module it prints the CUDA libraries it needs, its run path and the images of its fatbinary,
and fails when the module
  - needs the CUDA runtime or cuBLAS of another major version than --cuda-major (a cuda12 module
    that needs libcudart.so.13 was linked against the toolkit installed instead of CUDA 12), or no
    CUDA runtime at all;
  - holds PTX, or machine code for other architectures than --archs (compute capabilities, or
    CMake's "75-real;80-real" form);
  - for CUDA 12, holds images compressed other than with LZ4: a CUDA 12 driver may not read them.
The cuda12 build runs it on velqa and dormeth after linking them, so a module that would not load
on a CUDA 12 driver fails the build.
"""
import argparse
import os
import re
import struct
import sys

FATBIN_MAGIC = 0xBA55ED50
KIND_PTX, KIND_ELF = 1, 2
COMPRESSED_LZ4, COMPRESSED_ZSTD = 0x2000, 0x8000
CUDA_LIBRARIES = re.compile(r"^lib(cudart|cublas|cublasLt)\.so\.(\d+)$")


def sections(data):
    """{name: (offset, size, link)} of an ELF64 little-endian file."""
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise ValueError("not a 64-bit little-endian ELF file")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    entsize, count, names = struct.unpack_from("<HHH", data, 0x3A)
    headers = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * entsize) for i in range(count)]
    names_offset = headers[names][4]
    out = {}
    for name, _, _, _, offset, size, link, _, _, _ in headers:
        end = data.index(b"\0", names_offset + name)
        out[data[names_offset + name:end].decode()] = (offset, size, headers[link][4])
    return out


def dynamic(data, table):
    """(needed libraries, run path) from the .dynamic section."""
    offset, size, strings = table[".dynamic"]
    needed, runpath = [], None
    for i in range(0, size, 16):
        tag, value = struct.unpack_from("<qQ", data, offset + i)
        if tag == 0:
            break
        if tag in (1, 15, 29):  # DT_NEEDED, DT_RPATH, DT_RUNPATH
            text = data[strings + value:data.index(b"\0", strings + value)].decode()
            if tag == 1:
                needed.append(text)
            else:
                runpath = text
    return needed, runpath


def fatbin_images(data, table):
    """(kind, sm, flags) of every image in the .nv_fatbin section: one fatbinary per translation
    unit, each a header and its entries, padded to 8 bytes."""
    if ".nv_fatbin" not in table:
        return []
    offset, size, _ = table[".nv_fatbin"]
    blob = data[offset:offset + size]
    images, pos = [], 0
    while pos + 16 <= len(blob):
        magic, _, header, body = struct.unpack_from("<IHHQ", blob, pos)
        if magic != FATBIN_MAGIC:
            pos += 8
            continue
        entry, end = pos + header, pos + header + body
        while entry < end:
            kind, _, entry_header, payload = struct.unpack_from("<HHIQ", blob, entry)
            sm, = struct.unpack_from("<I", blob, entry + 0x1C)
            flags, = struct.unpack_from("<Q", blob, entry + 0x28)
            images.append((kind, sm, flags))
            entry += entry_header + payload
        pos = end
    return images


def compression(flags):
    return "zstd" if flags & COMPRESSED_ZSTD else "lz4" if flags & COMPRESSED_LZ4 else None


def arch_set(text):
    return {int(re.match(r"\d+", a).group()) for a in re.split(r"[;,]", text) if a.strip()}


def check(path, major, archs):
    """(report lines, problems) of one module."""
    name = os.path.basename(path)
    with open(path, "rb") as f:
        data = f.read()
    table = sections(data)
    needed, runpath = dynamic(data, table)
    images = fatbin_images(data, table)
    problems = []
    cuda = {lib: int(m.group(2)) for lib in needed if (m := CUDA_LIBRARIES.match(lib))}
    if not any(lib.startswith("libcudart.") for lib in cuda):
        problems.append(f"{name} needs no CUDA runtime")
    problems += [f"{name} needs {lib}, of CUDA {m} and not of CUDA {major}" for lib, m in cuda.items() if m != major]
    elf = sorted({sm for kind, sm, _ in images if kind == KIND_ELF})
    if any(kind == KIND_PTX for kind, _, _ in images):
        problems.append(f"{name} holds PTX; the build is machine code only")
    if archs and set(elf) != archs:
        problems.append(f"{name} holds machine code for sm {', '.join(map(str, elf)) or 'nothing'}, expected "
                        f"{', '.join(map(str, sorted(archs)))}")
    packed = {}
    for _, _, flags in images:
        packed[compression(flags)] = packed.get(compression(flags), 0) + 1
    if major == 12 and packed.get("zstd"):
        problems.append(f"{name} holds {packed['zstd']} zstd-compressed images, which a CUDA 12 driver may not read")
    report = [f"{name}: needs {', '.join(sorted(cuda)) or 'no CUDA library'}; run path {runpath or '(none)'}",
              f"  {len(images)} images, machine code for sm {', '.join(map(str, elf))}; "
              + ", ".join(f"{count} {kind or 'uncompressed'}" for kind, count in sorted(packed.items(), key=str))]
    return report, problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("modules", nargs="+")
    parser.add_argument("--cuda-major", type=int, required=True)
    parser.add_argument("--archs", help="the architectures the modules must hold, e.g. 75,80 or 75-real;80-real")
    args = parser.parse_args(argv)
    archs = arch_set(args.archs) if args.archs else None
    failures = []
    for module in args.modules:
        report, problems = check(module, args.cuda_major, archs)
        print("\n".join(report))
        failures += problems
    if failures:
        print("FAILED:\n  " + "\n  ".join(failures))
        return 1
    print(f"CUDA {args.cuda_major} modules: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
