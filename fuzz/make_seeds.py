#!/usr/bin/env python3
"""Writes hand-made seed inputs for engine_fuzz into a directory.

Each seed is a short, plausible session (set-up, settings, a few blocks),
encoded in the fuzz target's input format: one byte selects the call, then
each argument takes a selector byte; a selector below 140 picks the call's
typical value number (selector % count), so 0 means "the first typical value".
The fuzzer mutates from these towards the hostile corners.
"""
import os
import struct
import sys

FFT, VOC_INIT, VOC_PROC, SPECTRUM_UNIT, EQ, IIR, PRINCARG, INIT, PROCESS = 0, 1, 2, 3, 4, 5, 6, 7, 8
FILTER, EQ_BANDS, SPECTRUM, SETTER, QUALITY = 11, 12, 13, 14, 15
PATHS = 6  # then 0 princarg, 1 split FFT, 2-3 per-bin steps, 4 EQ gains, 5 path switches


def u32(v):
    return struct.pack('<I', v & 0xFFFFFFFF)


def init(frame=0, over=0, rate=0, channels=0):
    # typical: frame {2048,1024,512,4096,256,8,...}, over {4,2,8,1,...},
    # rate {44100,48000,22050,8000,...}, channels {2,1,...}
    return bytes([INIT, frame, over, rate, channels])


def process(sin=0, sout=0, kind=1, null=1, fail=1, freq=440, amp=12000):
    # samplesIn {1024,4096,512,1,2048,100,...}, samplesOut {1024,3000,768,0,...}
    b = bytes([PROCESS, sin, sout, 0, 0, null, kind])
    if kind == 1:
        b += u32(freq) + u32(amp)
    elif kind >= 4:
        b += u32(freq)
    return b + bytes([fail])


def setter(which, sel=0):
    if which == 4:  # panning: active, mono, level
        return bytes([SETTER, 4, 0, 0, sel])
    return bytes([SETTER, which, sel])


def filt():
    # lengths 3 and 3, sizes = lengths, not null, coefficients typical
    return bytes([FILTER]) + u32(3) + u32(3) + bytes([0, 0, 1, 1]) + bytes([0, 1, 2, 0, 1, 2]) + bytes([1])


SEEDS = {
    'stereo_plain': init() + process() + process(sout=1) + process(sout=2),
    'mono_plain': init(channels=1) + process() + process(sin=1, sout=1),
    'stereo_voice': init() + filt() + setter(0) + setter(1) + process() + process(sout=1),
    'stereo_pan_fold': init() + setter(4, 2) + process() + bytes([SETTER, 4, 0, 1, 0]) + process(),
    'eq_and_spectrum': init(frame=1, over=1) + bytes([EQ_BANDS, 0, 1, 3]) + u32(7) + bytes([1])
                       + bytes([SETTER, 5, 0]) + process(sin=1) + bytes([SPECTRUM]) + u32(72) + bytes([0, 1, 1]),
    'growth': init(frame=2) + process(sin=5, sout=5) + process(sin=1, sout=1, kind=4, freq=99),
    'preamp_limiter': init() + setter(2, 3) + process(amp=32767) + setter(6),
    'units': bytes([FFT, 0, 3, 0, 0, 0, VOC_INIT, 0, 0, VOC_PROC, 0, 0, 0, 3, SPECTRUM_UNIT, 0, 0, 0,
                    SPECTRUM_UNIT, 2, 0, 0, 1, 3, EQ, 0, 0, IIR, 1, 0, 0, 1, 1, 0, 1, 0, 1, IIR, 3]) + u32(10) + bytes(
        [0, 0, PRINCARG, 3]),
    # The vector paths against their definitions: a split FFT of 64 points on
    # any bit patterns, then each per-bin step on values around multiples of
    # pi/4 and on any bit patterns.
    'paths': bytes([PATHS, 1, 0, 1, 3]) + u32(99) + bytes([3]) + u32(7) + bytes([4, 12]) + u32(5)
             + bytes([PATHS, 2]) + u32(77) + bytes([0, 3]) + u32(3) + bytes([3]) + u32(4) + bytes([1, 2]) + u32(1)
             + bytes([PATHS, 2]) + u32(300) + bytes([1, 4, 2]) + u32(9) + bytes([4, 20]) + u32(11) + bytes([1, 0]) + u32(2)
             + bytes([PATHS, 3]) + u32(500) + bytes([2, 5]) + u32(13) + bytes([4, 3]) + u32(17) + bytes([0, 0, 1])
             + bytes([PATHS, 4]) + u32(2000) + bytes([PATHS, 5, 1, 1]) + init() + process(),
    # The fine mode transposed: a shift, blocks, the formants kept, a shift
    # the other way while playing (a ramp), one refused, back to 0.
    'fine_transposed': init() + bytes([QUALITY, 0]) + setter(7, 0) + process() + process(sout=1)
                       + setter(8, 0) + setter(7, 1) + process() + process(sin=2, sout=2)
                       + setter(7, 7) + setter(7, 2) + process(sout=2),
    'hostile_init': init(frame=6) + init(over=4) + init(rate=4) + init(channels=2) + init(frame=8) + process(),
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), 'corpus')
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, 'seed_' + name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
