"""The extension file as the dynamic loader sees it: its segments load on kernels with 64 KiB pages,
which many aarch64 systems run (RHEL and its rebuilds for ARM, Grace nodes)."""

import platform
import struct
import sys

import pytest

import orvelle  # noqa: F401  (loads orvelle.orvelle)

EXTENSION = sys.modules["orvelle.orvelle"].__file__
PT_LOAD = 1


def load_alignments(path):
    """p_align of every PT_LOAD segment of a little-endian ELF64 file."""
    with open(path, "rb") as f:
        elf = f.read()
    assert elf[:4] == b"\x7fELF" and elf[4] == 2 and elf[5] == 1, "not a little-endian ELF64 file"
    phoff, = struct.unpack_from("<Q", elf, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", elf, 0x36)
    out = []
    for i in range(phnum):
        p_type, = struct.unpack_from("<I", elf, phoff + i * phentsize)
        if p_type == PT_LOAD:
            out.append(struct.unpack_from("<Q", elf, phoff + i * phentsize + 0x30)[0])
    return out


@pytest.mark.skipif(platform.machine() != "aarch64", reason="64 KiB pages are an aarch64 matter")
def test_segments_load_with_64_kib_pages():
    alignments = load_alignments(EXTENSION)
    assert alignments and min(alignments) >= 1 << 16, alignments
