"""Checks that native objects built for ARMv6 with hard float hold no newer instruction.

Usage: check_armv6.py [--tools PREFIX] OBJECT...

The Raspberry Pi Zero, Zero W and 1 (ARM1176, ARMv6 with VFPv2) build the package from the
sdist with their own compiler, whose default is -march=armv6 -mfpu=vfp. The release builds
the modules so with Debian's armhf cross compiler and hands this script the objects. Only
the objects: linking adds Debian's own start-up files, which are ARMv7 and Thumb-2 code but
come from the board's C library there.

Each object must pass two checks, as either one alone can be fooled (an `.arch` directive
raises the attributes, an `.inst` word hides from the assembler):
- its build attributes: architecture v6 or older, no Thumb-2, VFPv2 at most, no NEON;
- its code, disassembled: ARM state only (Thumb-1 would be legal, but -marm builds none,
  and Thumb-2 is the risk), no instruction in FORBIDDEN below, and floating point only
  VFPv2's: the instructions in VFPV2, with 32- and 64-bit types, registers s0-s31 and
  d0-d15, and no constants encoded in vmov or vcvt.

Before it trusts its own reading, the check assembles CANARY_FORBIDDEN and CANARY_ALLOWED
and requires that it rejects exactly the former: a change in the disassembler's output
cannot make it pass everything.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from collections.abc import Iterator

# Instructions that ARMv6 lacks, with an example of each and where it came from. ARMv6K
# (ARM1176's own, but not the -march=armv6 baseline), ARMv6T2 (the Thumb-2 cores) and
# ARMv7 bring the first ones; ARMv8's AArch32 state the rest.
FORBIDDEN = {
    "clrex": ("clrex", "ARMv6K"),
    "ldrexb": ("ldrexb r0, [r1]", "ARMv6K"),
    "ldrexh": ("ldrexh r0, [r1]", "ARMv6K"),
    "ldrexd": ("ldrexd r0, r1, [r2]", "ARMv6K"),
    "strexb": ("strexb r0, r1, [r2]", "ARMv6K"),
    "strexh": ("strexh r0, r1, [r2]", "ARMv6K"),
    "strexd": ("strexd r0, r2, r3, [r4]", "ARMv6K"),
    "yield": ("yield", "ARMv6K"),
    "wfe": ("wfe", "ARMv6K"),
    "wfi": ("wfi", "ARMv6K"),
    "sev": ("sev", "ARMv6K"),
    "movw": ("movw r0, #1", "ARMv6T2"),
    "movt": ("movt r0, #1", "ARMv6T2"),
    "bfc": ("bfc r0, #0, #4", "ARMv6T2"),
    "bfi": ("bfi r0, r1, #0, #4", "ARMv6T2"),
    "sbfx": ("sbfx r0, r1, #0, #4", "ARMv6T2"),
    "ubfx": ("ubfx r0, r1, #0, #4", "ARMv6T2"),
    "mls": ("mls r0, r1, r2, r3", "ARMv6T2"),
    "rbit": ("rbit r0, r1", "ARMv6T2"),
    "ldrht": ("ldrht r0, [r1]", "ARMv6T2"),
    "ldrsbt": ("ldrsbt r0, [r1]", "ARMv6T2"),
    "ldrsht": ("ldrsht r0, [r1]", "ARMv6T2"),
    "strht": ("strht r0, [r1]", "ARMv6T2"),
    "dmb": ("dmb ish", "ARMv7 (ARMv6 orders memory through CP15: mcr p15, 0, rX, c7, c10, 5)"),
    "dsb": ("dsb sy", "ARMv7"),
    "isb": ("isb sy", "ARMv7"),
    "pli": ("pli [r0]", "ARMv7"),
    "pldw": ("pldw [r0]", "ARMv7 multiprocessing extensions"),
    "dbg": ("dbg #0", "ARMv7"),
    "sdiv": ("sdiv r0, r1, r2", "ARMv7 virtualization extensions (Cortex-A7, A15 and later)"),
    "udiv": ("udiv r0, r1, r2", "ARMv7 virtualization extensions"),
    "lda": ("lda r0, [r1]", "ARMv8"),
    "stl": ("stl r0, [r1]", "ARMv8"),
    "ldaexd": ("ldaexd r0, r1, [r2]", "ARMv8"),
    "stlex": ("stlex r0, r1, [r2]", "ARMv8"),
    "sevl": ("sevl", "ARMv8"),
    "hlt": ("hlt #0", "ARMv8"),
    "crc32w": ("crc32w r0, r1, r2", "ARMv8 CRC extension"),
}
# The other ARMv8 acquire/release and CRC forms, which the canary need not repeat.
FORBIDDEN_NAMES = set(FORBIDDEN) | {
    "ldab", "ldah", "ldaex", "ldaexb", "ldaexh", "stlb", "stlh", "stlexb", "stlexh", "stlexd",
    "crc32b", "crc32h", "crc32cb", "crc32ch", "crc32cw",
}
# VFPv2, the floating point of the ARM1176, under its unified names.
VFPV2 = {
    "vabs", "vadd", "vcmp", "vcmpe", "vcvt", "vcvtr", "vdiv", "vldm", "vldmia", "vldmdb", "vldr",
    "vmla", "vmls", "vmov", "vmrs", "vmsr", "vmul", "vneg", "vnmla", "vnmls", "vnmul", "vpop",
    "vpush", "vsqrt", "vstm", "vstmia", "vstmdb", "vstr", "vsub",
}
VFPV2_TYPES = {"f32", "f64", "s32", "u32", "32"}
# Floating point that VFPv2 lacks: VFPv3 (constants, fixed point, d16-d31), its half
# precision, VFPv4, NEON (vmov between d registers is NEON's vorr), ARMv8.
CANARY_FORBIDDEN_FP = [
    "vmov.f32 s0, #1.0", "vcvt.f32.s32 s0, s0, #16", "vldr d16, [r0]", "vcvtb.f32.f16 s0, s1",
    "vfma.f64 d0, d1, d2", "vadd.i32 q0, q0, q0", "vld1.8 {d0}, [r0]", "vdup.32 d0, r0",
    "vmov d0, d1", "vrintz.f32 s0, s1", "aese.8 q0, q1",
]
CANARY_FORBIDDEN = [example for example, _ in FORBIDDEN.values()] + ["movwne r0, #1"] + CANARY_FORBIDDEN_FP
# Look-alikes that ARMv6 with VFPv2 has, which the check must pass.
CANARY_ALLOWED = [
    "vmov r0, s0", "vmov r0, r1, d0", "vmov.32 d0[0], r0", "vcmp.f32 s0, #0.0", "vmov.f64 d0, d1",
    "vldr d15, [r0]", "vcvt.s32.f64 s0, d1", "ldrex r0, [r1]", "strex r0, r1, [r2]",
    "mcr p15, 0, r0, c7, c10, 5", "ldrh r0, [r1]", "strh r0, [r1]", "pld [r0]", "udf #0",
    "smull r0, r1, r2, r3", "ldrd r0, r1, [r2]", "uxtb r0, r1", "rev r0, r1",
]

CONDITIONS = "eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al"
OLD_ENOUGH = {"Pre-v4", "v4", "v4T", "v5T", "v5TE", "v5TEJ", "v6"}
# An instruction line of objdump -d --no-show-raw-insn: address, mnemonic, operands.
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\t(\S+)(?:\t(.*))?$")
HIGH_D_REGISTER = re.compile(r"\bd(?:1[6-9]|2[0-9]|3[01])\b")
Q_REGISTER = re.compile(r"\bq(?:[0-9]|1[0-5])\b")
CORE_REGISTER = re.compile(r"\b(?:r[0-9]|r1[0-5]|sp|lr|pc|ip|fp|sl|sb)\b")


def base_name(mnemonic: str) -> str:
    """The mnemonic without its condition and its data types: vcvtne.f32.s32 -> vcvt."""
    name = mnemonic.split(".")[0]
    if name in FORBIDDEN_NAMES or name in VFPV2:
        return name
    bare = re.sub(rf"(?:{CONDITIONS})$", "", name)
    return bare if bare in FORBIDDEN_NAMES or bare in VFPV2 else name


def instruction_problem(mnemonic: str, operands: str) -> str | None:
    """Why this ARM-state instruction needs more than ARMv6 with VFPv2, or None."""
    name = base_name(mnemonic)
    if name in FORBIDDEN_NAMES:
        return "not in ARMv6"
    if not re.match(r"v|aes|sha1|sha256", name):  # ARMv6's own media instructions: shadd8, ...
        return None
    types = set(mnemonic.split(".")[1:])
    if name not in VFPV2:
        return "not in VFPv2"
    if not types <= VFPV2_TYPES:
        return f"type {'.'.join(sorted(types - VFPV2_TYPES))} is not VFPv2's"
    if Q_REGISTER.search(operands) or HIGH_D_REGISTER.search(operands):
        return "a register that VFPv2 lacks"
    if name in ("vmov", "vcvt") and "#" in operands:
        return "a constant that VFPv2 cannot encode"
    if name == "vmov" and not types and not CORE_REGISTER.search(operands):
        return "NEON's register move"
    return None


def run(tools: str, program: str, *arguments: str) -> str:
    return subprocess.run([tools + program, *arguments], check=True, capture_output=True, text=True).stdout


def object_problems(tools: str, path: str) -> Iterator[str]:
    attributes = dict(re.findall(r"^\s*(Tag_\w+): (.*)$", run(tools, "readelf", "-A", path), re.M))
    architecture = attributes.get("Tag_CPU_arch")
    if architecture not in OLD_ENOUGH:
        yield f"built for {architecture or 'an unknown architecture'}, not ARMv6"
    if "Thumb-2" in attributes.get("Tag_THUMB_ISA_use", ""):
        yield "built for Thumb-2"
    if attributes.get("Tag_FP_arch", "VFPv2") not in ("VFPv1", "VFPv2"):
        yield f"built for {attributes['Tag_FP_arch']}, not VFPv2"
    if "Tag_Advanced_SIMD_arch" in attributes:
        yield f"built for {attributes['Tag_Advanced_SIMD_arch']}"
    # objdump decodes each stretch by the mapping symbols: $a ARM, $t Thumb, $d data.
    if re.search(r"\s\$t(?:\.\S*)?$", run(tools, "readelf", "-sW", path), re.M):
        yield "holds Thumb code"
    section = None
    for line in run(tools, "objdump", "-d", "--no-show-raw-insn", path).splitlines():
        if line.startswith("Disassembly of section "):
            section = line.removeprefix("Disassembly of section ").rstrip(":")
        match = INSTRUCTION.match(line)
        if match is None or match[2].startswith("."):  # .word and friends: literal pools
            continue
        problem = instruction_problem(match[2], match[3] or "")
        if problem:
            yield f"{section}+0x{match[1]}: {match[2]} {match[3] or ''}".rstrip() + f" ({problem})"


def canary_problems(tools: str) -> Iterator[str]:
    """The check's reading of known code: empty when it sees exactly what it should."""
    lines = CANARY_FORBIDDEN + CANARY_ALLOWED
    source = "\n".join([".syntax unified", ".arm", ".arch armv8-a", ".arch_extension crc",
                        ".fpu crypto-neon-fp-armv8", *lines, ".thumb", ".thumb_func", "thumb: nop", ""])
    with tempfile.TemporaryDirectory() as directory:
        assembly, canary = os.path.join(directory, "canary.s"), os.path.join(directory, "canary.o")
        with open(assembly, "w") as file:
            file.write(source)
        subprocess.run([tools + "as", "-mfloat-abi=hard", "-o", canary, assembly], check=True, capture_output=True, text=True)
        found = list(object_problems(tools, canary))
    flagged = {int(address, 16) // 4 for address in re.findall(r"^\.text\+0x([0-9a-f]+):", "\n".join(found), re.M)}
    expected = set(range(len(CANARY_FORBIDDEN)))
    for index in sorted(expected - flagged):
        yield f"the check misses {lines[index]!r}"
    for index in sorted(flagged - expected):
        yield f"the check rejects {lines[index]!r}, which ARMv6 has"
    for needed in ("built for v8", "built for Thumb-2", "holds Thumb code", "not VFPv2", "NEON"):
        if not any(needed in problem for problem in found if not problem.startswith(".text+")):
            yield f"the check does not report an object {needed}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tools", default="arm-linux-gnueabihf-",
                        help="prefix of the binutils for 32-bit ARM (default: %(default)s)")
    parser.add_argument("objects", nargs="+")
    arguments = parser.parse_args()
    try:
        broken = list(canary_problems(arguments.tools))
        if broken:
            for problem in broken:
                print(f"check_armv6: {problem}", file=sys.stderr)
            sys.exit("check_armv6: the check cannot be trusted with this objdump (above)")
        failed = False
        for path in arguments.objects:
            problems = list(object_problems(arguments.tools, path))
            for problem in problems:
                print(f"{path}: {problem}", file=sys.stderr)
            failed = failed or bool(problems)
            print(f"{path}: {'FAILED: needs more than ARMv6 with VFPv2' if problems else 'ARMv6 ok'}")
    except FileNotFoundError as error:
        sys.exit(f"check_armv6: {error.filename} not found: install binutils for 32-bit ARM "
                 "(Debian: binutils-arm-linux-gnueabihf)")
    except subprocess.CalledProcessError as error:
        sys.exit(f"check_armv6: {' '.join(error.cmd)} failed: {error.stderr or ''}".rstrip())
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
